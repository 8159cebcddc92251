"""examples/conduit/conduit/app.py: the Conduit API routes; every database call goes through conduit/dao.py."""
import re
import secrets
from contextlib import asynccontextmanager
from datetime import datetime, timezone

from fastapi import APIRouter, Depends, FastAPI, Header, Query, Response
from sqlalchemy.exc import IntegrityError

from zorvane.db.ostrane import Page
from zorvane.zorvane import BaseMapper, ZorvaneConfig

from . import auth, errors
from .dao import AccountMapper, ArticleMapper, CommentMapper, FavoriteMapper, ProfileMapper
from .errors import ApiError
from .models import (
    Article, ArticleInList, ArticleResponse, ArticleRow, ArticlesResponse, Comment, CommentResponse, CommentRow,
    CommentsResponse, LoginRequest, NewArticleRequest, NewCommentRequest, NewUserRequest, Profile, ProfileResponse,
    ProfileRow, TagsResponse, UpdateArticleRequest, UpdateUserRequest, User, UserResponse, UserRow,
)

accounts, profiles, articles = AccountMapper(), ProfileMapper(), ArticleMapper()
comments, favorites = CommentMapper(), FavoriteMapper()
router = APIRouter(prefix="/api")


def now() -> datetime:
    """UTC now to the millisecond, naive: the tables store UTC."""
    t = datetime.now(timezone.utc).replace(tzinfo=None)
    return t.replace(microsecond=t.microsecond // 1000 * 1000)


def slugify(title: str) -> str:
    return re.sub(r"[^\w]+", "-", title.lower()).strip("-") or "article"


def user_out(row: UserRow, token: str) -> UserResponse:
    return UserResponse(user=User(email=row.email, token=token, username=row.username, bio=row.bio, image=row.image))


def profile_out(row: ProfileRow) -> ProfileResponse:
    return ProfileResponse(profile=Profile(username=row.username, bio=row.bio, image=row.image, following=row.following))


def article_fields(row: ArticleRow) -> dict:
    return dict(slug=row.slug, title=row.title, description=row.description, tagList=row.tags, createdAt=row.created_at,
                updatedAt=row.updated_at, favorited=row.favorited, favoritesCount=row.favorites_count,
                author=row.author)


def comment_out(row: CommentRow) -> Comment:
    return Comment(id=row.id, createdAt=row.created_at, updatedAt=row.updated_at, body=row.body, author=row.author)


async def article_or_404(slug: str, viewer: int | None = None) -> ArticleRow:
    row = await articles.by_slug(slug, viewer)
    if row is None:
        raise ApiError(404, "article not found")
    return row


async def article_out(slug: str, viewer: int | None) -> ArticleResponse:
    row = await article_or_404(slug, viewer)
    return ArticleResponse(article=Article(body=row.body, **article_fields(row)))


async def article_id_or_404(slug: str) -> int:
    article_id = await articles.id_of(slug)
    if article_id is None:
        raise ApiError(404, "article not found")
    return article_id


async def profile_or_404(username: str, viewer: int | None) -> ProfileRow:
    row = await profiles.by_username(username, viewer)
    if row is None:
        raise ApiError(404, "profile not found")
    return row


async def articles_page(viewer: int | None, limit: int, offset: int, **filters) -> ArticlesResponse:
    page = await articles.page(viewer, Page.from_offset(offset, limit), **filters)
    rows: list[ArticleRow] = page["list"]
    return ArticlesResponse(articles=[ArticleInList(**article_fields(r)) for r in rows], articlesCount=page["total"])


Limit = Query(20, ge=1, le=500)
Offset = Query(0, ge=0)


# Users and authentication

@router.post("/users", status_code=201, response_model=UserResponse)
async def register(body: NewUserRequest):
    u = body.user
    if await accounts.count_taken(u.username, u.email, 0):
        raise ApiError(422, "username or email has already been taken")
    fields = {"username": u.username, "email": u.email, "password_hash": await auth.hash_password(u.password),
              "bio": None, "image": None}
    try:
        user_id = await accounts.insert(fields)
    except IntegrityError:  # a concurrent registration took the name
        raise ApiError(422, "username or email has already been taken") from None
    return user_out(UserRow(id=user_id, **fields), auth.make_token(user_id))


@router.post("/users/login", response_model=UserResponse)
async def login(body: LoginRequest):
    row = await accounts.by_email(body.user.email)
    if row is None or not await auth.check_password(body.user.password, row.password_hash):
        raise ApiError(401, "email or password is invalid")
    return user_out(row, auth.make_token(row.id))


async def account_or_401(user_id: int) -> UserRow:
    row = await accounts.by_id(user_id)
    if row is None:  # a token of a user that no longer exists
        raise ApiError(401, "user not found")
    return row


@router.get("/user", response_model=UserResponse)
async def current(user_id: int = Depends(auth.current_user), authorization: str = Header()):
    return user_out(await account_or_401(user_id), auth.token_of(authorization))


@router.put("/user", response_model=UserResponse)
async def update_user(body: UpdateUserRequest, user_id: int = Depends(auth.current_user),
                      authorization: str = Header()):
    changes = body.user.model_dump(exclude_unset=True)
    if ("username" in changes or "email" in changes) and await accounts.count_taken(
            changes.get("username"), changes.get("email"), user_id):
        raise ApiError(422, "username or email has already been taken")
    for required in ("username", "email", "password"):
        if required in changes and changes[required] is None:
            raise ApiError(422, f"user.{required}: can't be empty")
    if "password" in changes:
        changes["password_hash"] = await auth.hash_password(changes.pop("password"))
    if changes:
        await accounts.update_by_id({"id": user_id, **changes})
    return user_out(await account_or_401(user_id), auth.token_of(authorization))


# Profiles

@router.get("/profiles/{username}", response_model=ProfileResponse)
async def get_profile(username: str, viewer: int | None = Depends(auth.viewer)):
    return profile_out(await profile_or_404(username, viewer))


@router.post("/profiles/{username}/follow", response_model=ProfileResponse)
async def follow(username: str, user_id: int = Depends(auth.current_user)):
    row = await profile_or_404(username, user_id)
    if not row.following and row.id != user_id:
        try:
            await profiles.insert({"follower_id": user_id, "followee_id": row.id})
        except IntegrityError:  # followed by a concurrent request
            pass
        row.following = True
    return profile_out(row)


@router.delete("/profiles/{username}/follow", response_model=ProfileResponse)
async def unfollow(username: str, user_id: int = Depends(auth.current_user)):
    row = await profile_or_404(username, user_id)
    await profiles.unfollow(user_id, row.id)
    row.following = False
    return profile_out(row)


# Articles

@router.get("/articles", response_model=ArticlesResponse)
async def list_articles(tag: str | None = None, author: str | None = None, favorited: str | None = None,
                        limit: int = Limit, offset: int = Offset, viewer: int | None = Depends(auth.viewer)):
    return await articles_page(viewer, limit, offset, tag=tag, author=author, favorited=favorited)


@router.get("/articles/feed", response_model=ArticlesResponse)
async def feed(limit: int = Limit, offset: int = Offset, user_id: int = Depends(auth.current_user)):
    return await articles_page(user_id, limit, offset, feed_of=user_id)


@router.get("/articles/{slug}", response_model=ArticleResponse)
async def get_article(slug: str, viewer: int | None = Depends(auth.viewer)):
    return await article_out(slug, viewer)


async def free_slug(title: str) -> str:
    slug = slugify(title)
    return slug if not await articles.count_slug(slug) else f"{slug}-{secrets.token_hex(3)}"


@router.post("/articles", status_code=201, response_model=ArticleResponse)
async def create_article(body: NewArticleRequest, user_id: int = Depends(auth.current_user)):
    a = body.article
    for attempt in range(3):
        slug = await free_slug(a.title) if attempt == 0 else f"{slugify(a.title)}-{secrets.token_hex(3)}"
        stamp = now()
        try:
            async with BaseMapper.switch_datasource("main"):  # the article and its tags, or nothing
                article_id = await articles.insert({"slug": slug, "title": a.title, "description": a.description,
                                                    "body": a.body, "author_id": user_id, "created_at": stamp,
                                                    "updated_at": stamp})
                if a.tagList:
                    await articles.add_tags(article_id, sorted(set(a.tagList)))
            break
        except IntegrityError:  # the slug was taken meanwhile: try another
            if attempt == 2:
                raise
    return await article_out(slug, user_id)


async def own_article(slug: str, user_id: int) -> ArticleRow:
    row = await article_or_404(slug)
    if row.author_id != user_id:
        raise ApiError(403, "only the author may change this article")
    return row


@router.put("/articles/{slug}", response_model=ArticleResponse)
async def update_article(slug: str, body: UpdateArticleRequest, user_id: int = Depends(auth.current_user)):
    row = await own_article(slug, user_id)
    changes = {k: v for k, v in body.article.model_dump(exclude_unset=True).items() if v is not None}
    if "title" in changes and changes["title"] != row.title:
        changes["slug"] = await free_slug(changes["title"])
    if changes:
        await articles.update_by_id({"id": row.id, "updated_at": now(), **changes}, selective=True)
    return await article_out(changes.get("slug", slug), user_id)


@router.delete("/articles/{slug}", status_code=204)
async def delete_article(slug: str, user_id: int = Depends(auth.current_user)):
    row = await own_article(slug, user_id)
    async with BaseMapper.switch_datasource("main"):
        await articles.delete_tags(row.id)
        await articles.delete_favorites(row.id)
        await articles.delete_comments(row.id)
        await articles.delete_by_id(row.id)
    return Response(status_code=204)


# Favorites

@router.post("/articles/{slug}/favorite", response_model=ArticleResponse)
async def favorite(slug: str, user_id: int = Depends(auth.current_user)):
    row = await article_or_404(slug, user_id)
    if not row.favorited:
        try:
            await favorites.insert({"user_id": user_id, "article_id": row.id})
        except IntegrityError:  # favorited by a concurrent request of the same user
            pass
    return await article_out(slug, user_id)


@router.delete("/articles/{slug}/favorite", response_model=ArticleResponse)
async def unfavorite(slug: str, user_id: int = Depends(auth.current_user)):
    row = await article_or_404(slug, user_id)
    await favorites.remove(user_id, row.id)
    return await article_out(slug, user_id)


# Comments

@router.get("/articles/{slug}/comments", response_model=CommentsResponse)
async def list_comments(slug: str, viewer: int | None = Depends(auth.viewer)):
    article_id = await article_id_or_404(slug)
    return CommentsResponse(comments=[comment_out(c) for c in await comments.of_article(article_id, viewer)])


@router.post("/articles/{slug}/comments", response_model=CommentResponse)
async def add_comment(slug: str, body: NewCommentRequest, user_id: int = Depends(auth.current_user)):
    async with BaseMapper.switch_datasource("main"):
        article_id = await article_id_or_404(slug)
        stamp = now()
        comment_id = await comments.insert({"article_id": article_id, "author_id": user_id, "body": body.comment.body,
                                            "created_at": stamp, "updated_at": stamp})
        (created,) = await comments.of_article(article_id, user_id, id=comment_id)
    return CommentResponse(comment=comment_out(created))


@router.delete("/articles/{slug}/comments/{comment_id}", status_code=204)
async def delete_comment(slug: str, comment_id: int, user_id: int = Depends(auth.current_user)):
    article_id = await article_id_or_404(slug)
    author = await comments.author_of(comment_id, article_id)
    if author is None:
        raise ApiError(404, "comment not found")
    if author != user_id:
        raise ApiError(403, "only the author may delete this comment")
    await comments.remove(comment_id, article_id)
    return Response(status_code=204)


# Tags

@router.get("/tags", response_model=TagsResponse)
async def tags():
    return TagsResponse(tags=await articles.all_tags())


@asynccontextmanager
async def lifespan(app: FastAPI):
    yield
    await ZorvaneConfig.dispose_async()


def create_app(*routers: APIRouter) -> FastAPI:
    """The ASGI application; zorvane must be configured first (conduit.db.configure)."""
    app = FastAPI(title="Conduit", lifespan=lifespan, default_response_class=errors.JSON)
    errors.install(app)
    app.include_router(router)
    for extra in routers:
        app.include_router(extra)
    return app
