"""examples/conduit through its HTTP API: the user journey, the error statuses and concurrent favorites."""
import asyncio
import re
import sys
from pathlib import Path
from unittest.mock import ANY

import pytest

from conftest import private_database

httpx = pytest.importorskip("httpx")  # the example's own extra; an installed wheel's smoke run has none
pytest.importorskip("fastapi")

sys.path.insert(0, str(Path(__file__).resolve().parents[3] / "examples" / "conduit"))
from conduit import auth  # noqa: E402
from conduit.app import create_app  # noqa: E402
from conduit.db import configure  # noqa: E402
from zorvane.zorvane import ZorvaneConfig  # noqa: E402

pytest_plugins = ["zorvane.testing"]
pytestmark = pytest.mark.greenlet

STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")


# Databases of their own: other tests make a users table of another shape.
@pytest.fixture(scope="module")
def conduit_pg(request):
    base = request.config.getoption("--postgres-url") or pytest.skip("no --postgres-url")
    yield from private_database(base, "CREATE DATABASE {} ENCODING 'UTF8' TEMPLATE template0")


@pytest.fixture(scope="module")
def conduit_mysql(request):
    base = request.config.getoption("--mysql-url") or pytest.skip("no --mysql-url")
    yield from private_database(base, "CREATE DATABASE {} CHARACTER SET utf8mb4")


@pytest.fixture(params=["sqlite", "postgresql", "mysql"])
def api(request, fresh_config, monkeypatch):
    """Runs `scenario(client)` against a fresh Conduit on the backend, in one event loop. A server database
    is shared by the module's tests: a test with zorvane_rollback leaves nothing in it, any other one empties
    its tables before and after."""
    url = request.getfixturevalue({"sqlite": "sqlite_url", "postgresql": "conduit_pg", "mysql": "conduit_mysql"}[request.param])
    configure(url.render_as_string(hide_password=False))
    engine = ZorvaneConfig.datasource["main"]["db"]

    def empty():
        with engine.begin() as c:
            for table in ("comments", "favorites", "article_tags", "follows", "articles", "users"):
                c.exec_driver_sql(f"DELETE FROM {table}")
    if "zorvane_rollback" not in request.fixturenames:
        empty()
        request.addfinalizer(empty)
    monkeypatch.setattr(auth, "ROUNDS", 4)
    app = create_app()

    def run(scenario):
        async def main():
            transport = httpx.ASGITransport(app=app)
            try:
                async with httpx.AsyncClient(transport=transport, base_url="http://conduit/api") as client:
                    return await scenario(client)
            finally:
                await ZorvaneConfig.dispose_async()
        return asyncio.run(main())
    return run


async def register(client, name):
    r = await client.post("/users", json={"user": {"username": name, "email": f"{name}@x.io", "password": "pw-" + name}})
    assert r.status_code == 201, r.text
    return {"Authorization": "Token " + r.json()["user"]["token"]}


async def post_article(client, who, title, tags=()):
    r = await client.post("/articles", headers=who,
                          json={"article": {"title": title, "description": "d", "body": "b", "tagList": list(tags)}})
    assert r.status_code == 201, r.text
    return r.json()["article"]


async def statements_of(zorvane_statements, request):
    """The number of statements the awaited request runs, and its response."""
    before = len(zorvane_statements)
    response = await request
    return len(zorvane_statements) - before, response


def test_user_journey(api, zorvane_rollback, zorvane_statements):
    async def scenario(c):
        assert await statements_of(zorvane_statements, c.get("/user")) == (0, ANY)  # refused before any statement
        jake, jane = await register(c, "jake"), await register(c, "jane")
        login = await c.post("/users/login", json={"user": {"email": "jake@x.io", "password": "pw-jake"}})
        assert login.json()["user"] == {"email": "jake@x.io", "token": login.json()["user"]["token"],
                                        "username": "jake", "bio": None, "image": None}
        me = await c.put("/user", headers=jake, json={"user": {"bio": "I work at statefarm"}})
        assert me.json()["user"]["bio"] == "I work at statefarm" and me.json()["user"]["image"] is None
        assert (await c.get("/user", headers=jake)).json()["user"]["bio"] == "I work at statefarm"

        followed = await c.post("/profiles/jake/follow", headers=jane)  # no body at all
        assert followed.status_code == 200 and followed.json()["profile"] == {
            "username": "jake", "bio": "I work at statefarm", "image": None, "following": True}
        assert (await c.get("/profiles/jake")).json()["profile"]["following"] is False

        first = await post_article(c, jake, "How to train your dragon", ["training", "dragons", "dragons"])
        assert first["tagList"] == ["dragons", "training"] and first["slug"] == "how-to-train-your-dragon"
        assert STAMP.match(first["createdAt"]) and first["favorited"] is False and first["favoritesCount"] == 0
        await post_article(c, jake, "Second", ["zebra"])
        await post_article(c, jane, "Third")
        moved = await c.put(f"/articles/{first['slug']}", headers=jake, json={"article": {"title": "Did you train it?"}})
        assert moved.json()["article"]["slug"] == "did-you-train-it" and moved.json()["article"]["body"] == "b"
        assert (await c.get(f"/articles/{first['slug']}")).status_code == 404

        fav = await c.post("/articles/did-you-train-it/favorite", headers=jane, json={"unexpected": 1})
        assert fav.status_code == 200 and (fav.json()["article"]["favorited"], fav.json()["article"]["favoritesCount"]) == (True, 1)

        async def listing(query, who=None):
            return (await c.get("/articles" + query, headers=who or {})).json()
        page = await listing("?limit=1&offset=1")
        assert page["articlesCount"] == 3 and [a["title"] for a in page["articles"]] == ["Second"]
        assert "body" not in page["articles"][0] and page["articles"][0]["author"]["following"] is False
        assert [a["title"] for a in (await listing("?tag=dragons"))["articles"]] == ["Did you train it?"]
        by_jake = await listing("?author=jake&limit=1", jane)
        assert by_jake["articlesCount"] == 2 and by_jake["articles"][0]["author"]["following"] is True
        liked = await listing("?favorited=jane", jane)
        assert [(a["title"], a["favorited"]) for a in liked["articles"]] == [("Did you train it?", True)]
        assert (await listing("?tag=nothing"))["articlesCount"] == 0
        feed = (await c.get("/articles/feed?offset=1", headers=jane)).json()
        assert feed["articlesCount"] == 2 and [a["title"] for a in feed["articles"]] == ["Did you train it?"]
        ran, tags = await statements_of(zorvane_statements, c.get("/tags"))
        assert ran == 1 and tags.json() == {"tags": ["dragons", "training", "zebra"]}
        # a listing runs as many statements for one article as for three: none per article
        one, _ = await statements_of(zorvane_statements, c.get("/articles?limit=1", headers=jane))
        three, _ = await statements_of(zorvane_statements, c.get("/articles", headers=jane))
        assert one == three and all(s.error is None for s in zorvane_statements)
        assert tags.headers["content-type"] == "application/json; charset=utf-8"

        said = (await c.post("/articles/second/comments", headers=jane, json={"comment": {"body": "Nice"}})).json()
        assert said["comment"]["body"] == "Nice" and said["comment"]["author"]["username"] == "jane"
        assert STAMP.match(said["comment"]["updatedAt"])
        listed = (await c.get("/articles/second/comments")).json()["comments"]
        assert [(x["id"], x["author"]["username"], x["author"]["following"]) for x in listed] == [(said["comment"]["id"], "jane", False)]
        assert (await c.delete(f"/articles/second/comments/{said['comment']['id']}", headers=jane)).status_code == 204
        assert (await c.get("/articles/second/comments")).json() == {"comments": []}

        assert (await c.delete("/articles/did-you-train-it/favorite", headers=jane)).json()["article"]["favoritesCount"] == 0
        assert (await c.delete("/profiles/jake/follow", headers=jane)).json()["profile"]["following"] is False
        assert (await c.delete("/articles/did-you-train-it", headers=jake)).status_code == 204
        assert (await c.get("/articles/did-you-train-it")).status_code == 404
        assert (await listing(""))["articlesCount"] == 2

    api(scenario)


def test_error_statuses(api, zorvane_rollback):
    async def scenario(c):
        jake, jane = await register(c, "jake"), await register(c, "jane")
        slug = (await post_article(c, jake, "Mine"))["slug"]
        comment = (await c.post(f"/articles/{slug}/comments", headers=jake, json={"comment": {"body": "x"}})).json()
        cases = [
            ("get", "/user", {}, None, 401),
            ("get", "/user", {"Authorization": "Token not.a.jwt"}, None, 401),
            ("get", "/articles/feed", {"Authorization": "Bearer"}, None, 401),
            ("post", "/articles", {}, {"article": {"title": "t", "description": "d", "body": "b"}}, 401),
            ("post", "/users/login", {}, {"user": {"email": "jake@x.io", "password": "wrong"}}, 401),
            ("put", f"/articles/{slug}", jane, {"article": {"title": "theirs"}}, 403),
            ("delete", f"/articles/{slug}", jane, None, 403),
            ("delete", f"/articles/{slug}/comments/{comment['comment']['id']}", jane, None, 403),
            ("get", "/articles/no-such-slug", {}, None, 404),
            ("post", "/articles/no-such-slug/favorite", jane, None, 404),
            ("get", "/profiles/nobody", {}, None, 404),
            ("post", "/users", {}, {"user": {"username": "jake", "email": "other@x.io", "password": "p"}}, 422),
            ("post", "/users", {}, {"user": {"username": "kim", "email": "not-an-email", "password": "p"}}, 422),
            ("post", "/users", {}, {"user": {"email": "k@x.io", "password": "p"}}, 422),
            ("post", "/articles", jake, {"article": {"title": "", "description": "d", "body": "b"}}, 422),
            ("post", f"/articles/{slug}/comments", jake, {}, 422),
            ("get", "/articles?limit=0", {}, None, 422),
        ]
        for method, path, headers, body, status in cases:
            r = await c.request(method, path, headers=headers, json=body)
            assert r.status_code == status, (method, path, r.text)
            errors = r.json()["errors"]["body"]
            assert errors and all(isinstance(e, str) for e in errors)
        missing = (await c.post("/users", json={"user": {"email": "k@x.io", "password": "p"}})).json()
        assert any(e.startswith("user.username") for e in missing["errors"]["body"])
        assert (await c.get(f"/articles/{slug}")).json()["article"]["title"] == "Mine"

    api(scenario)


def test_concurrent_favorites_keep_the_count(api):
    async def scenario(c):
        users = [await register(c, f"u{i}") for i in range(6)]
        slug = (await post_article(c, users[0], "Popular"))["slug"]
        # every user at once, the last one twice
        replies = await asyncio.gather(*(c.post(f"/articles/{slug}/favorite", headers=u) for u in users + users[-1:]))
        assert [r.status_code for r in replies] == [200] * 7
        article = (await c.get(f"/articles/{slug}", headers=users[1])).json()["article"]
        assert (article["favoritesCount"], article["favorited"]) == (6, True)
        await asyncio.gather(*(c.delete(f"/articles/{slug}/favorite", headers=u) for u in users[:3]))
        assert (await c.get(f"/articles?favorited=u5")).json()["articles"][0]["favoritesCount"] == 3

    api(scenario)


def test_tests_with_rollback_leave_nothing(api, zorvane_rollback):
    async def scenario(c):
        assert (await c.get("/articles")).json()["articlesCount"] == 0 and (await c.get("/tags")).json() == {"tags": []}
        assert (await c.get("/profiles/jake")).status_code == 404  # registered by the tests above, rolled back

    api(scenario)
