"""Statements of units the library owns run on the pooled driver connection: the same rows, keys,
errors and pool state as through the toolkit's Connection, which runs them again as soon as an engine
listener or the engine's echo wants to see them."""
import asyncio
import logging
import time

import pytest
import sqlalchemy as sa
from sqlalchemy.engine import base

from conftest import run, sqlite_writable
from zorvane.db.ostrane import Page
from zorvane.zorvane import insert, select_list, select_one, select_page, switch_datasource


class Dao:
    @select_list("SELECT id, name, 1 AS one, 2 AS one FROM users WHERE age >= #{age} ORDER BY id")
    def adults(self, age: int) -> list[dict]: ...

    @select_one("SELECT name, note, '100%' AS pct FROM users WHERE id = #{id}")
    def one(self, id: int) -> dict: ...

    @select_page("SELECT id, name FROM users WHERE age > #{age} ORDER BY id")
    def page(self, age: int, page: Page) -> list[dict]: ...

    @insert("INSERT INTO users (name, age, note) VALUES (#{name}, #{age}, #{note})")
    def add(self, name: str, age: int, note: str) -> int: ...

    @insert("INSERT INTO users (id, name, age, note) VALUES (#{id}, 'again', 1, 'x')")
    def add_with_id(self, id: int) -> int: ...


class AsyncDao:
    @select_list("SELECT id, name, 1 AS one, 2 AS one FROM users WHERE age >= #{age} ORDER BY id")
    async def adults(self, age: int) -> list[dict]: ...

    @select_page("SELECT id, name FROM users WHERE age > #{age} ORDER BY id")
    async def page(self, age: int, page: Page) -> list[dict]: ...

    @insert("INSERT INTO users (name, age, note) VALUES (#{name}, #{age}, #{note})")
    async def add(self, name: str, age: int, note: str) -> int: ...

    @insert("INSERT INTO users (id, name, age, note) VALUES (#{id}, 'again', 1, 'x')")
    async def add_with_id(self, id: int) -> int: ...


@pytest.mark.parametrize("watcher", ["none", "listener", "dialect hook", "echo"])
def test_driver_path_as_the_toolkit_runs_it(main_ds, watcher, monkeypatch, caplog):
    seen, connections = [], []
    init = base.Connection.__init__
    monkeypatch.setattr(base.Connection, "__init__", lambda self, *a, **k: (connections.append(1), init(self, *a, **k))[1])
    if watcher == "listener":
        sa.event.listen(main_ds, "before_cursor_execute", lambda conn, cursor, sql, *rest: seen.append(sql))
    elif watcher == "dialect hook":
        sa.event.listen(main_ds, "do_execute", lambda cursor, sql, *rest: seen.append(sql))
    elif watcher == "echo":
        caplog.set_level(logging.INFO, logger="sqlalchemy.engine")
        main_ds.echo = True
    dao = Dao()
    with switch_datasource("main"):
        keys = [dao.add(f"n{i}", 20 + i, "50%: a 'quoted' text") for i in range(3)] + [dao.add_with_id(10)]
        connections.clear()  # an insert's first call settles how it returns its key
        keys.append(dao.add("n3", 23, None))
        k = keys[4]  # after 10 where the key counter follows explicit keys
        assert keys == [1, 2, 3, 10, k] and k in (4, 11)
        assert dao.adults(22) == [{"id": 3, "name": "n2", "one": 2}, {"id": k, "name": "n3", "one": 2}]
        assert dao.one(1) == {"name": "n0", "note": "50%: a 'quoted' text", "pct": "100%"} and dao.one(99) is None
        assert dao.page(20, Page(2, 2)) == {"pageNum": 2, "pageSize": 2, "total": 3, "list": [{"id": k, "name": "n3"}]}
        with pytest.raises(sa.exc.IntegrityError) as failed:
            dao.add_with_id(2)
        ran = len(connections)
    assert failed.value.orig is not None and "again" in failed.value.statement
    with main_ds.connect() as c:
        assert c.exec_driver_sql("SELECT COUNT(*) FROM users").scalar() == 5
    assert main_ds.pool.checkedout() == 0
    if watcher == "none":
        assert ran == 0  # every call above ran on the driver's connection
    elif watcher in ("listener", "dialect hook"):
        assert ran and any("COUNT" in sql.upper() for sql in seen) and any("again" in sql for sql in seen)
    else:
        assert ran and any("again" in r.getMessage() for r in caplog.records if r.name.startswith("sqlalchemy"))


@pytest.mark.greenlet
def test_async_driver_path(main_ds, monkeypatch):
    """aiomysql, psycopg's async connection and aiosqlite (one hop to its thread per statement) run owned
    statements on the driver connection too."""
    connections = []
    init = base.Connection.__init__
    monkeypatch.setattr(base.Connection, "__init__", lambda self, *a, **k: (connections.append(1), init(self, *a, **k))[1])
    dao = AsyncDao()

    async def calls():
        with switch_datasource("main"):
            keys = [await dao.add(f"n{i}", 20 + i, "x") for i in range(3)] + [await dao.add_with_id(10)]
            connections.clear()  # an insert's first call settles how it returns its key
            keys.append(await dao.add("n3", 23, None))
            got = [await dao.adults(22), await dao.page(20, Page(2, 2))]
            with pytest.raises(sa.exc.IntegrityError) as failed:
                await dao.add_with_id(2)
            return keys, got, failed.value, len(connections)

    keys, got, error, ran = run(calls())
    k = keys[4]  # after 10 where the key counter follows explicit keys
    assert keys == [1, 2, 3, 10, k] and k in (4, 11) and error.orig is not None and "again" in error.statement
    assert got == [[{"id": 3, "name": "n2", "one": 2}, {"id": k, "name": "n3", "one": 2}],
                   {"pageNum": 2, "pageSize": 2, "total": 3, "list": [{"id": k, "name": "n3"}]}]
    assert ran == 0
    with main_ds.connect() as c:
        assert c.exec_driver_sql("SELECT COUNT(*) FROM users").scalar() == 5


SLOW_INSERT = {
    "sqlite": "INSERT INTO users (name, age) SELECT 'slow', COUNT(*) FROM (WITH RECURSIVE c(x) AS "
              "(SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000000) SELECT x FROM c)",
    "mysql": "INSERT INTO users (name, age) SELECT 'slow', SLEEP(5)",
    "postgresql": "INSERT INTO users (name, age) SELECT 'slow', 0 FROM pg_sleep(5)",
}


@pytest.mark.greenlet
def test_cancelled_driver_statement_commits_nothing_and_frees_its_connection(main_ds):
    """A statement cancelled while it runs on the driver connection commits nothing and gives its connection
    back; on SQLite it is interrupted, so that the file's write lock is free at once."""
    kind = main_ds.dialect.name

    class Slow:
        @insert(SLOW_INSERT[kind])
        async def add(self) -> int: ...

    async def work():
        with switch_datasource("main"):
            task = asyncio.create_task(Slow().add())
            await asyncio.sleep(0.5)
            cancelled = time.monotonic()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            waited = time.monotonic() - cancelled
            free = kind != "sqlite" or sqlite_writable(main_ds.url.database)
            await AsyncDao().add("next", 1, None)
            return free, waited

    free, waited = run(work())
    # Left to run, the SQLite statement would take 10 s and more; interrupted, it ends at once.
    assert free and (kind != "sqlite" or waited < 5)
    with main_ds.connect() as c:
        assert c.exec_driver_sql("SELECT name FROM users").scalars().all() == ["next"]
    assert main_ds.pool.checkedout() == 0
