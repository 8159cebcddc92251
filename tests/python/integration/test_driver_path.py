"""Statements of units the library owns run on the pooled driver connection: the same rows, keys,
errors and pool state as through the toolkit's Connection, which runs them again as soon as an engine
listener or the engine's echo wants to see them."""
import logging

import pytest
import sqlalchemy as sa
from sqlalchemy.engine import base

from conftest import run
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


@pytest.mark.parametrize("watcher", ["none", "listener", "echo"])
def test_driver_path_as_the_toolkit_runs_it(main_ds, watcher, monkeypatch, caplog):
    seen, connections = [], []
    init = base.Connection.__init__
    monkeypatch.setattr(base.Connection, "__init__", lambda self, *a, **k: (connections.append(1), init(self, *a, **k))[1])
    if watcher == "listener":
        sa.event.listen(main_ds, "before_cursor_execute", lambda conn, cursor, sql, *rest: seen.append(sql))
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
    elif watcher == "listener":
        assert ran and any("COUNT" in sql.upper() for sql in seen) and any("again" in sql for sql in seen)
    else:
        assert ran and any("again" in r.getMessage() for r in caplog.records if r.name.startswith("sqlalchemy"))


@pytest.mark.greenlet
def test_async_driver_path(main_ds, monkeypatch):
    """aiomysql and psycopg's async connection run owned statements on the driver connection too; aiosqlite
    keeps the toolkit's path (its error listener interrupts a cancelled statement)."""
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
    assert (ran > 0) == (main_ds.dialect.name == "sqlite")
    with main_ds.connect() as c:
        assert c.exec_driver_sql("SELECT COUNT(*) FROM users").scalar() == 5
