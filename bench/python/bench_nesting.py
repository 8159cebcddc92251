"""Joined rows into nested objects: 10,000 articles x 10 comments (100,000 rows), each article with
an author, into dataclasses and pydantic models, against hand-written grouping of the same rows.

SQLite file always; the JSON-array form also on PostgreSQL when POSTGRES_URL is set (a database is
made and dropped)."""
import dataclasses
import json
import os
import pathlib
import tempfile
import uuid

import pydantic
import sqlalchemy as sa
from sqlalchemy.orm import Session

from _timing import compare, header, report, best_per_call
from zorvane.zorvane import DBConfig, ZorvaneConfig, select_list, switch_datasource

ARTICLES, COMMENTS = 10_000, 10


@dataclasses.dataclass
class Author:
    id: int
    name: str


@dataclasses.dataclass
class Comment:
    id: int
    body: str


@dataclasses.dataclass
class Article:
    id: int
    title: str
    author: Author
    comments: list[Comment]


class MAuthor(pydantic.BaseModel):
    id: int
    name: str


class MComment(pydantic.BaseModel):
    id: int
    body: str


class MArticle(pydantic.BaseModel):
    id: int
    title: str
    author: MAuthor
    comments: list[MComment]


JOINED = ("SELECT a.id, a.title, au.id AS author__id, au.name AS author__name, c.id AS comments__id, "
          "c.body AS comments__body FROM article a JOIN author au ON au.id = a.author_id "
          "LEFT JOIN comment c ON c.article_id = a.id ORDER BY a.id, c.id")


def fill(engine):
    with engine.begin() as c:
        for t in ("comment", "article", "author"):
            c.exec_driver_sql(f"DROP TABLE IF EXISTS {t}")
        c.exec_driver_sql("CREATE TABLE author (id INTEGER PRIMARY KEY, name VARCHAR(40))")
        c.exec_driver_sql("CREATE TABLE article (id INTEGER PRIMARY KEY, title VARCHAR(40), author_id INTEGER)")
        c.exec_driver_sql("CREATE TABLE comment (id INTEGER PRIMARY KEY, article_id INTEGER, body VARCHAR(40))")
        c.exec_driver_sql("CREATE INDEX comment_article ON comment (article_id)")
        c.execute(sa.text("INSERT INTO author VALUES (:id, :name)"), [{"id": i, "name": f"author {i}"} for i in range(100)])
        c.execute(sa.text("INSERT INTO article VALUES (:id, :t, :a)"),
                  [{"id": i, "t": f"title {i}", "a": i % 100} for i in range(ARTICLES)])
        c.execute(sa.text("INSERT INTO comment VALUES (:id, :a, :b)"),
                  [{"id": i, "a": i // COMMENTS, "b": f"comment {i}"} for i in range(ARTICLES * COMMENTS)])


def rows_by_hand(engine, sql=JOINED):
    with Session(engine) as s:
        return s.execute(sa.text(sql)).all()


def dataclasses_by_hand(engine):
    out, by_id = [], {}
    for r in rows_by_hand(engine):
        a = by_id.get(r[0])
        if a is None:
            a = by_id[r[0]] = Article(r[0], r[1], Author(r[2], r[3]), [])
            out.append(a)
        if r[4] is not None:
            a.comments.append(Comment(r[4], r[5]))
    return out


def models_by_hand(engine):
    out, by_id = [], {}
    for r in rows_by_hand(engine):
        a = by_id.get(r[0])
        if a is None:
            a = by_id[r[0]] = {"id": r[0], "title": r[1], "author": {"id": r[2], "name": r[3]}, "comments": []}
            out.append(a)
        if r[4] is not None:
            a["comments"].append({"id": r[4], "body": r[5]})
    return [MArticle.model_validate(a) for a in out]


def run(name, url, json_sql=None):
    ZorvaneConfig(DBConfig(primary=name, **{name: url}))
    engine = ZorvaneConfig.datasource[name]["db"]
    fill(engine)

    @select_list(JOINED)
    def as_dataclasses() -> list[Article]: ...

    @select_list(JOINED)
    def as_models() -> list[MArticle]: ...

    with switch_datasource(name):
        if json_sql is None:
            assert as_dataclasses() == dataclasses_by_hand(engine) and len(as_dataclasses()) == ARTICLES
            assert as_models() == models_by_hand(engine)
            header(f"nesting {ARTICLES * COMMENTS} joined rows into {ARTICLES} articles, {name}")
            report("rows through the driver alone (the floor)", min(best_per_call(lambda: rows_by_hand(engine), 1, 5)))
            compare("dataclasses: @select_list vs grouping by hand", as_dataclasses, lambda: dataclasses_by_hand(engine),
                    1, 5, 0.85)
            compare("pydantic: @select_list vs grouping + model_validate", as_models, lambda: models_by_hand(engine),
                    1, 5, 1.0)
            return

        @select_list(json_sql)
        def json_models() -> list[MArticle]: ...

        def json_by_hand():
            return [MArticle(id=r[0], title=r[1], author=MAuthor(id=r[2], name=r[3]),
                             comments=[MComment(**c) for c in (json.loads(r[4]) if isinstance(r[4], str) else r[4] or [])])
                    for r in rows_by_hand(engine, json_sql.replace("#{", ":").replace("}", ""))]

        assert json_models() == json_by_hand()
        header(f"JSON-array form, {ARTICLES} articles, {name}")
        compare("pydantic: JSON array column vs json.loads + construction", json_models, json_by_hand, 1, 5, 1.0)


PG_JSON = ("SELECT a.id, a.title, au.id AS author__id, au.name AS author__name, "
           "(SELECT json_agg(json_build_object('id', c.id, 'body', c.body) ORDER BY c.id) FROM comment c "
           "WHERE c.article_id = a.id) AS comments FROM article a JOIN author au ON au.id = a.author_id ORDER BY a.id")

if __name__ == "__main__":
    tmp = pathlib.Path(tempfile.mkdtemp())
    run("file", {"db_type": "sqlite", "sqlite_path": str(tmp / "nesting.db")})
    if pg := os.environ.get("POSTGRES_URL"):
        base = sa.make_url(pg)
        db = f"bench_nesting_{uuid.uuid4().hex[:8]}"
        admin = sa.create_engine(base, isolation_level="AUTOCOMMIT")
        with admin.connect() as c:
            c.exec_driver_sql(f"CREATE DATABASE {db}")
        try:
            ZorvaneConfig._instance, ZorvaneConfig._initialized = None, False
            run("pg", {"db_type": "postgresql", "host": base.host, "port": base.port or 5432, "user": base.username,
                       "password": base.password or "", "database": db}, PG_JSON)
        finally:
            for entry in ZorvaneConfig.datasource.values():
                entry["db"].dispose()
            with admin.connect() as c:
                c.exec_driver_sql(f"DROP DATABASE {db}")
            admin.dispose()
