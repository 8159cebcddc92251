-- examples/conduit/schema/mysql.sql: the Conduit tables on MariaDB and MySQL.
CREATE TABLE IF NOT EXISTS users (
    id INTEGER PRIMARY KEY AUTO_INCREMENT,
    username VARCHAR(100) NOT NULL UNIQUE,
    email VARCHAR(255) NOT NULL UNIQUE,
    password_hash VARCHAR(100) NOT NULL,
    bio TEXT,
    image TEXT
) CHARACTER SET utf8mb4;
CREATE TABLE IF NOT EXISTS follows (
    follower_id INTEGER NOT NULL,
    followee_id INTEGER NOT NULL,
    PRIMARY KEY (follower_id, followee_id)
) CHARACTER SET utf8mb4;
CREATE TABLE IF NOT EXISTS articles (
    id INTEGER PRIMARY KEY AUTO_INCREMENT,
    slug VARCHAR(255) NOT NULL UNIQUE,
    title VARCHAR(255) NOT NULL,
    description TEXT NOT NULL,
    body TEXT NOT NULL,
    author_id INTEGER NOT NULL,
    created_at DATETIME(3) NOT NULL,
    updated_at DATETIME(3) NOT NULL
) CHARACTER SET utf8mb4;
CREATE INDEX IF NOT EXISTS articles_by_author ON articles (author_id);
CREATE INDEX IF NOT EXISTS articles_by_time ON articles (created_at);
CREATE TABLE IF NOT EXISTS article_tags (
    article_id INTEGER NOT NULL,
    tag VARCHAR(100) NOT NULL,
    PRIMARY KEY (article_id, tag)
) CHARACTER SET utf8mb4;
CREATE INDEX IF NOT EXISTS article_tags_by_tag ON article_tags (tag);
CREATE TABLE IF NOT EXISTS favorites (
    user_id INTEGER NOT NULL,
    article_id INTEGER NOT NULL,
    PRIMARY KEY (user_id, article_id)
) CHARACTER SET utf8mb4;
CREATE INDEX IF NOT EXISTS favorites_by_article ON favorites (article_id);
CREATE TABLE IF NOT EXISTS comments (
    id INTEGER PRIMARY KEY AUTO_INCREMENT,
    article_id INTEGER NOT NULL,
    author_id INTEGER NOT NULL,
    body TEXT NOT NULL,
    created_at DATETIME(3) NOT NULL,
    updated_at DATETIME(3) NOT NULL
) CHARACTER SET utf8mb4;
CREATE INDEX IF NOT EXISTS comments_by_article ON comments (article_id);
