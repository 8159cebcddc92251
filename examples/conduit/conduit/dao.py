"""examples/conduit/conduit/dao.py: the mapper interfaces; each class runs the statements of the mapper file
whose namespace is its name (mappers/*.xml), short statements sit inline in decorators."""
from zorvane.db.ostrane import Page
from zorvane.zorvane import AsyncBaseMapper, delete, select_list, select_one

from .models import ArticleRow, CommentRow, ProfileRow, UserRow
from .tables import Article, Comment, Favorite, Follow, User

USER_COLUMNS = "SELECT id, username, email, password_hash, bio, image FROM users"


class AccountMapper(AsyncBaseMapper[User]):
    """Users as they log in: insert and update_by_id come from AsyncBaseMapper."""

    @select_one(USER_COLUMNS + " WHERE id = #{id}")
    async def by_id(self, id: int) -> UserRow | None: ...

    @select_one(USER_COLUMNS + " WHERE email = #{email}")
    async def by_email(self, email: str) -> UserRow | None: ...

    @select_one("SELECT COUNT(*) FROM users WHERE (username = #{username} OR email = #{email}) AND id <> #{id}")
    async def count_taken(self, username: str | None, email: str | None, id: int) -> int: ...


class ProfileMapper(AsyncBaseMapper[Follow]):
    async def by_username(self, username: str, viewer: int | None) -> ProfileRow | None: ...

    @delete("DELETE FROM follows WHERE follower_id = #{follower_id} AND followee_id = #{followee_id}")
    async def unfollow(self, follower_id: int, followee_id: int) -> int: ...


class ArticleMapper(AsyncBaseMapper[Article]):
    # With a Page the call returns the page dictionary: total, and the rows as ArticleRow in list (author
    # and tags nested in each).
    async def page(self, viewer: int | None, page: Page, tag: str | None = None, author: str | None = None,
                   favorited: str | None = None, feed_of: int | None = None) -> list[ArticleRow]: ...

    async def by_slug(self, slug: str, viewer: int | None) -> ArticleRow | None: ...

    async def add_tags(self, article_id: int, tags: list[str]) -> None: ...

    @select_one("SELECT id FROM articles WHERE slug = #{slug}")
    async def id_of(self, slug: str) -> int | None: ...

    @select_one("SELECT COUNT(*) FROM articles WHERE slug = #{slug}")
    async def count_slug(self, slug: str) -> int: ...

    @select_list("SELECT DISTINCT tag FROM article_tags ORDER BY tag")
    async def all_tags(self) -> list[str]: ...

    @delete("DELETE FROM article_tags WHERE article_id = #{article_id}")
    async def delete_tags(self, article_id: int) -> int: ...

    @delete("DELETE FROM favorites WHERE article_id = #{article_id}")
    async def delete_favorites(self, article_id: int) -> int: ...

    @delete("DELETE FROM comments WHERE article_id = #{article_id}")
    async def delete_comments(self, article_id: int) -> int: ...


class FavoriteMapper(AsyncBaseMapper[Favorite]):
    @delete("DELETE FROM favorites WHERE user_id = #{user_id} AND article_id = #{article_id}")
    async def remove(self, user_id: int, article_id: int) -> int: ...


class CommentMapper(AsyncBaseMapper[Comment]):
    async def of_article(self, article_id: int, viewer: int | None, id: int | None = None) -> list[CommentRow]: ...

    @delete("DELETE FROM comments WHERE id = #{id} AND article_id = #{article_id}")
    async def remove(self, id: int, article_id: int) -> int: ...

    @select_one("SELECT author_id FROM comments WHERE id = #{id} AND article_id = #{article_id}")
    async def author_of(self, id: int, article_id: int) -> int | None: ...
