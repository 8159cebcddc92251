"""examples/conduit under HTTP load: its zorvane routes against the same endpoints written by hand
with SQLAlchemy's AsyncSession, served by one uvicorn process and driven from this one.

`bench_conduit.py` alone runs SQLite and PostgreSQL (POSTGRES_URL, a database is made and dropped);
`bench_conduit.py serve URL PORT` is the server side. Requests go to 127.0.0.1 only, in bounded counts."""
import asyncio
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

import httpx
import sqlalchemy as sa

from _timing import header

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "examples" / "conduit"))

REQUESTS = 400      # per endpoint, implementation and round
CONCURRENCY = 16    # requests in flight
ROUNDS = int(os.environ.get("ROUNDS", 5))  # ours and hand-written alternate; the median of the paired ratios counts
ARTICLES = 60
PORT = int(os.environ.get("BENCH_CONDUIT_PORT", "8791"))


# -- server side: the example's app plus a hand-written router --------------------------------

def hand_router():
    from fastapi import APIRouter, Depends
    from sqlalchemy.ext.asyncio import AsyncSession

    from conduit import auth
    from conduit.app import Limit, Offset, article_fields, comment_out, now
    from conduit.errors import ApiError
    from conduit.models import (Article, ArticleInList, ArticleResponse, ArticleRow, ArticlesResponse, CommentResponse,
                                CommentRow, NewCommentRequest, Profile)
    from zorvane.zorvane import ZorvaneConfig

    router = APIRouter(prefix="/hand/api")
    columns = """SELECT a.id, a.slug, a.title, a.description{body}, a.created_at, a.updated_at,
           u.username AS author_username, u.bio AS author_bio, u.image AS author_image,
           EXISTS (SELECT 1 FROM follows f WHERE f.follower_id = :viewer AND f.followee_id = a.author_id) AS author_following,
           EXISTS (SELECT 1 FROM favorites v WHERE v.user_id = :viewer AND v.article_id = a.id) AS favorited,
           (SELECT COUNT(*) FROM favorites c WHERE c.article_id = a.id) AS favorites_count
        FROM articles a JOIN users u ON u.id = a.author_id"""
    tags_sql = sa.text("SELECT article_id, tag FROM article_tags WHERE article_id IN :ids ORDER BY article_id, tag"
                       ).bindparams(sa.bindparam("ids", expanding=True))
    one_sql = sa.text(columns.format(body=", a.body, a.author_id") + " WHERE a.slug = :slug")
    comment_sql = sa.text("""SELECT c.id, c.body, c.author_id, c.created_at, c.updated_at,
           u.username AS author_username, u.bio AS author_bio, u.image AS author_image,
           EXISTS (SELECT 1 FROM follows f WHERE f.follower_id = :viewer AND f.followee_id = c.author_id) AS author_following
        FROM comments c JOIN users u ON u.id = c.author_id WHERE c.id = :id""")
    insert_comment = sa.text("INSERT INTO comments (article_id, author_id, body, created_at, updated_at) "
                             "VALUES (:article_id, :author_id, :body, :at, :at)")
    postgres = ZorvaneConfig.datasource["main"]["db"].dialect.name == "postgresql"

    def session():
        return AsyncSession(ZorvaneConfig.async_engine("main"), expire_on_commit=False)

    def with_author(m, **more):  # the author_* columns as a nested Profile, by hand
        m = dict(m)
        author = Profile(username=m.pop("author_username"), bio=m.pop("author_bio"), image=m.pop("author_image"),
                         following=m.pop("author_following"))
        return {**m, "author": author, **more}

    async def tags_of(s, ids):
        out = {i: [] for i in ids}
        if ids:
            for article_id, tag in (await s.execute(tags_sql, {"ids": ids})).all():
                out[article_id].append(tag)
        return out

    @router.get("/articles", response_model=ArticlesResponse)
    async def list_articles(tag: str | None = None, author: str | None = None, favorited: str | None = None,
                            limit: int = Limit, offset: int = Offset, viewer: int | None = Depends(auth.viewer)):
        where, params = [], {"viewer": viewer, "tag": tag, "author": author, "favorited": favorited}
        if tag is not None:
            where.append("a.id IN (SELECT t.article_id FROM article_tags t WHERE t.tag = :tag)")
        if author is not None:
            where.append("u.username = :author")
        if favorited is not None:
            where.append("a.id IN (SELECT v.article_id FROM favorites v JOIN users fu ON fu.id = v.user_id "
                         "WHERE fu.username = :favorited)")
        cond = (" WHERE " + " AND ".join(where)) if where else ""
        async with session() as s:
            total = (await s.execute(sa.text("SELECT COUNT(*) FROM articles a JOIN users u ON u.id = a.author_id" + cond),
                                     params)).scalar_one()
            found = (await s.execute(
                sa.text(columns.format(body="") + cond + " ORDER BY a.created_at DESC, a.id DESC LIMIT :limit OFFSET :offset"),
                {**params, "limit": limit, "offset": offset})).mappings().all()
            tags = await tags_of(s, [m["id"] for m in found])
            rows = [ArticleRow(**with_author(m, tags=tags[m["id"]])) for m in found]
        return ArticlesResponse(articles=[ArticleInList(**article_fields(r)) for r in rows],
                                articlesCount=total)

    @router.get("/articles/{slug}", response_model=ArticleResponse)
    async def get_article(slug: str, viewer: int | None = Depends(auth.viewer)):
        async with session() as s:
            found = (await s.execute(one_sql, {"slug": slug, "viewer": viewer})).mappings().first()
            if found is None:
                raise ApiError(404, "article not found")
            tags = await tags_of(s, [found["id"]])
            row = ArticleRow(**with_author(found, tags=tags[found["id"]]))
        return ArticleResponse(article=Article(body=row.body, **article_fields(row)))

    @router.post("/articles/{slug}/comments", response_model=CommentResponse)
    async def add_comment(slug: str, body: NewCommentRequest, user_id: int = Depends(auth.current_user)):
        async with session() as s:
            article_id = (await s.execute(sa.text("SELECT id FROM articles WHERE slug = :slug"), {"slug": slug})).scalar()
            if article_id is None:
                raise ApiError(404, "article not found")
            params = {"article_id": article_id, "author_id": user_id, "body": body.comment.body, "at": now()}
            if postgres:
                new_id = (await s.execute(sa.text(insert_comment.text + " RETURNING id"), params)).scalar_one()
            else:
                new_id = (await s.execute(insert_comment, params)).lastrowid
            await s.commit()
            row = CommentRow(**with_author((await s.execute(comment_sql, {"id": new_id, "viewer": user_id})).mappings().one()))
        return CommentResponse(comment=comment_out(row))

    return router


def serve(url: str, port: int) -> None:
    import uvicorn

    from conduit.app import create_app
    from conduit.db import configure

    configure(url)
    uvicorn.run(create_app(hand_router()), host="127.0.0.1", port=port, log_level="warning")


def in_process(url: str) -> None:
    """The route functions called directly, no HTTP: the data layer's share of a request."""
    from conduit import auth
    from conduit.app import add_comment, articles_page, article_out, create_app
    from conduit.db import configure
    from conduit.models import NewCommentRequest
    from zorvane.zorvane import ZorvaneConfig

    configure(url)
    with ZorvaneConfig.datasource["main"]["db"].begin() as c:  # the load run's rows go
        for table in ("comments", "favorites", "article_tags", "follows", "articles", "users"):
            c.exec_driver_sql(f"DELETE FROM {table}")
    router = hand_router()
    app = create_app(router)
    hand = {r.path.removeprefix("/hand/api"): r.endpoint for r in router.routes}
    comment = NewCommentRequest(comment={"body": "nice"})
    cases = [
        ("list ?tag=t1&limit=10", lambda v: articles_page(v, 10, 0, tag="t1"),
         lambda v: hand["/articles"](tag="t1", author=None, favorited=None, limit=10, offset=0, viewer=v)),
        ("single article", lambda v: article_out("article-7", v), lambda v: hand["/articles/{slug}"]("article-7", v)),
        ("create comment", lambda v: add_comment("article-7", comment, v),
         lambda v: hand["/articles/{slug}/comments"]("article-7", comment, v)),
    ]

    async def main():
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://conduit") as client:
            bob = await seed(client)
        viewer = await auth.current_user(bob["Authorization"])
        for label, ours, theirs in cases:
            o, h = await ours(viewer), await theirs(viewer)
            if label != "create comment":
                assert o.model_dump() == h.model_dump(), label  # both sides answer the same
            to, th = [], []
            for _ in range(ROUNDS * 2):
                for fn, acc in ((ours, to), (theirs, th)):
                    t0 = time.perf_counter()
                    for _ in range(100):
                        await fn(viewer)
                    acc.append((time.perf_counter() - t0) / 100)
            print(f"   {label:<24} {min(to) * 1e6:10.0f} us {min(th) * 1e6:10.0f} us   {min(th) / min(to):5.2f}x")

    asyncio.run(main())


# -- load side ---------------------------------------------------------------------------------

async def drive(client, method, path, headers, body, n, concurrency):
    """n requests, `concurrency` at a time; (requests per second, p99 latency in ms)."""
    latencies, queue = [], iter(range(n))

    async def worker():
        for _ in queue:
            t0 = time.perf_counter()
            r = await client.request(method, path, headers=headers, json=body)
            latencies.append(time.perf_counter() - t0)
            if r.status_code >= 300:
                raise RuntimeError(f"{method} {path}: {r.status_code} {r.text[:200]}")

    t0 = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(concurrency)))
    elapsed = time.perf_counter() - t0
    latencies.sort()
    return n / elapsed, latencies[int(0.99 * (len(latencies) - 1))] * 1000


async def seed(client):
    async def user(name):
        r = await client.post("/api/users", json={"user": {"username": name, "email": f"{name}@b.io", "password": "pw"}})
        r.raise_for_status()
        return {"Authorization": "Token " + r.json()["user"]["token"]}

    alice, bob = await user("alice"), await user("bob")
    await client.post("/api/profiles/alice/follow", headers=bob)
    for i in range(ARTICLES):
        r = await client.post("/api/articles", headers=alice, json={"article": {
            "title": f"Article {i}", "description": "about it", "body": "text " * 50, "tagList": [f"t{i % 4}", "common"]}})
        r.raise_for_status()
        if i % 3 == 0:
            await client.post(f"/api/articles/article-{i}/favorite", headers=bob)
    return bob


async def measure(base_url: str) -> list[tuple]:
    limits = httpx.Limits(max_connections=CONCURRENCY, max_keepalive_connections=CONCURRENCY)
    async with httpx.AsyncClient(base_url=base_url, limits=limits, timeout=30) as client:
        bob = await seed(client)
        cases = [("list ?tag=t1&limit=10", "GET", "/articles?tag=t1&limit=10", None),
                 ("single article", "GET", "/articles/article-7", None),
                 ("create comment", "POST", "/articles/article-7/comments", {"comment": {"body": "nice"}})]
        rows = []
        for label, method, path, body in cases:
            for prefix in ("/api", "/hand/api"):  # warm-up
                await drive(client, method, prefix + path, bob, body, 50, CONCURRENCY)
            ours, hand = [], []
            for _ in range(ROUNDS):
                ours.append(await drive(client, method, "/api" + path, bob, body, REQUESTS, CONCURRENCY))
                hand.append(await drive(client, method, "/hand/api" + path, bob, body, REQUESTS, CONCURRENCY))
            o = sorted(ours)[ROUNDS // 2]
            h = sorted(hand)[ROUNDS // 2]
            ratios = [a[0] / b[0] for a, b in zip(ours, hand)]
            rows.append((label, o, h, statistics.median(ratios), ratios))
        return rows


def wait_ready(url: str, proc: subprocess.Popen) -> None:
    for _ in range(200):
        if proc.poll() is not None:
            raise RuntimeError("the server process ended")
        try:
            httpx.get(url + "/api/tags", timeout=1)
            return
        except httpx.TransportError:
            time.sleep(0.1)
    raise RuntimeError("the server did not answer")


def run_backend(name: str, url: str) -> None:
    env = {**os.environ, "CONDUIT_BCRYPT_ROUNDS": "4"}
    proc = subprocess.Popen([sys.executable, __file__, "serve", url, str(PORT)], env=env, cwd=HERE)
    try:
        wait_ready(f"http://127.0.0.1:{PORT}", proc)
        rows = asyncio.run(measure(f"http://127.0.0.1:{PORT}"))
    finally:
        proc.terminate()
        proc.wait(timeout=30)
    print(f"   {name}: {REQUESTS} requests x {ROUNDS} interleaved rounds, {CONCURRENCY} in flight; median round, "
          "throughput ratio = median of the rounds' zorvane/hand ratios (target: at least 1.00)")
    print(f"   {'endpoint':<24} {'zorvane req/s':>13} {'p99 ms':>7}   {'hand req/s':>10} {'p99 ms':>7}   ratio   rounds")
    for label, (o_rps, o_p99), (h_rps, h_p99), ratio, ratios in rows:
        print(f"   {label:<24} {o_rps:13.0f} {o_p99:7.1f}   {h_rps:10.0f} {h_p99:7.1f}   {ratio:5.2f}x  "
              + ", ".join(f"{r:.2f}" for r in ratios))
    overall = statistics.median([r for *_, ratios in rows for r in ratios])
    print(f"   {name}: throughput ratio over all endpoints and rounds (median) {overall:5.2f}x")
    print(f"   {name}, in process (route functions, no HTTP), best batch; ratio = hand time / zorvane time")
    sys.stdout.flush()
    subprocess.run([sys.executable, __file__, "inproc", url], env=env, cwd=HERE, check=True)


def postgres_database():
    """A database of its own on the PostgreSQL server, dropped afterwards; None when unreachable."""
    base = sa.make_url(os.environ.get("POSTGRES_URL", "postgresql+psycopg://postgres@127.0.0.1:5432/test"))
    admin = sa.create_engine(base, isolation_level="AUTOCOMMIT")
    name = f"zv_conduit_{uuid.uuid4().hex[:8]}"
    try:
        with admin.connect() as c:
            c.exec_driver_sql(f"CREATE DATABASE {name}")
    except sa.exc.OperationalError:
        return None, None

    def drop():
        with admin.connect() as c:
            c.exec_driver_sql(f"DROP DATABASE {name} WITH (FORCE)")
        admin.dispose()
    return base.set(database=name), drop


def main() -> None:
    header("conduit: HTTP requests on the example, zorvane routes vs hand-written AsyncSession routes")
    with tempfile.TemporaryDirectory() as tmp:
        run_backend("sqlite", f"sqlite:///{tmp}/conduit.db")
    url, drop = postgres_database()
    if url is None:
        print("   postgresql: server not reachable, skipped")
        return
    try:
        run_backend("postgresql", url.render_as_string(hide_password=False))
    finally:
        drop()


if __name__ == "__main__":
    if sys.argv[1:2] == ["serve"]:
        serve(sys.argv[2], int(sys.argv[3]))
    elif sys.argv[1:2] == ["inproc"]:
        in_process(sys.argv[2])
    else:
        main()
