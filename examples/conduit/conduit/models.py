"""examples/conduit/conduit/models.py: request bodies, response shapes and the rows the mappers return."""
from datetime import datetime, timezone
from typing import Annotated

from pydantic import BaseModel, Field, PlainSerializer


def iso_utc(value: datetime) -> str:
    """2016-02-18T03:22:56.637Z: naive values are UTC already (the tables store UTC)."""
    if value.tzinfo is not None:
        value = value.astimezone(timezone.utc)
    return value.strftime("%Y-%m-%dT%H:%M:%S.") + f"{value.microsecond // 1000:03d}Z"


Timestamp = Annotated[datetime, PlainSerializer(iso_utc, return_type=str)]
Text = Annotated[str, Field(min_length=1)]


# Rows returned by the mapper statements. Their author is nested from the author__* columns and the
# tags come as one JSON array column, so a page limits articles, not joined rows.

class Profile(BaseModel):
    username: str
    bio: str | None
    image: str | None
    following: bool


class ProfileRow(BaseModel):
    id: int
    username: str
    bio: str | None
    image: str | None
    following: bool = False


class UserRow(BaseModel):
    id: int
    username: str
    email: str
    password_hash: str
    bio: str | None
    image: str | None


class ArticleRow(BaseModel):
    id: int
    slug: str
    title: str
    description: str
    body: str | None = None
    author_id: int | None = None
    created_at: datetime
    updated_at: datetime
    favorited: bool
    favorites_count: int
    author: Profile
    tags: list[str]


class CommentRow(BaseModel):
    id: int
    body: str
    author_id: int
    created_at: datetime
    updated_at: datetime
    author: Profile


# Request bodies. Unknown keys are ignored; a missing or empty required field is a 422.

class Email(BaseModel):
    email: Annotated[str, Field(min_length=3, pattern=r"^[^@\s]+@[^@\s]+$")]


class NewUser(Email):
    username: Text
    password: Annotated[str, Field(min_length=1, max_length=72)]


class LoginUser(BaseModel):
    email: Text
    password: Text


class UpdateUser(BaseModel):
    email: Annotated[str, Field(pattern=r"^[^@\s]+@[^@\s]+$")] | None = None
    username: Text | None = None
    password: Annotated[str, Field(min_length=1, max_length=72)] | None = None
    bio: str | None = None
    image: str | None = None


class NewArticle(BaseModel):
    title: Text
    description: Text
    body: Text
    tagList: list[Text] = []


class UpdateArticle(BaseModel):
    title: Text | None = None
    description: Text | None = None
    body: Text | None = None


class NewComment(BaseModel):
    body: Text


class NewUserRequest(BaseModel):
    user: NewUser


class LoginRequest(BaseModel):
    user: LoginUser


class UpdateUserRequest(BaseModel):
    user: UpdateUser


class NewArticleRequest(BaseModel):
    article: NewArticle


class UpdateArticleRequest(BaseModel):
    article: UpdateArticle


class NewCommentRequest(BaseModel):
    comment: NewComment


# Responses: field names are the API's JSON keys; None stays in the output as null.

class User(BaseModel):
    email: str
    token: str
    username: str
    bio: str | None
    image: str | None


class ArticleInList(BaseModel):
    slug: str
    title: str
    description: str
    tagList: list[str]
    createdAt: Timestamp
    updatedAt: Timestamp
    favorited: bool
    favoritesCount: int
    author: Profile


class Article(ArticleInList):
    body: str


class Comment(BaseModel):
    id: int
    createdAt: Timestamp
    updatedAt: Timestamp
    body: str
    author: Profile


class UserResponse(BaseModel):
    user: User


class ProfileResponse(BaseModel):
    profile: Profile


class ArticleResponse(BaseModel):
    article: Article


class ArticlesResponse(BaseModel):
    articles: list[ArticleInList]
    articlesCount: int


class CommentResponse(BaseModel):
    comment: Comment


class CommentsResponse(BaseModel):
    comments: list[Comment]


class TagsResponse(BaseModel):
    tags: list[str]
