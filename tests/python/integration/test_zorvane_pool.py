"""Connections of the configured pools: one killed while idle in the pool costs the next call nothing."""
import time

import pytest
import sqlalchemy as sa

from conftest import datasource_decl, run, sqlite_writable
from zorvane.zorvane import DBConfig, ZorvaneConfig, select_one

# Per server kind: the connection's id on the server, and how another connection kills it.
KILL = {"mysql": ("SELECT CONNECTION_ID() AS id", "KILL {}",
                  "SELECT COUNT(*) FROM information_schema.processlist WHERE id = {}"),
        "postgresql": ("SELECT pg_backend_pid() AS id", "SELECT pg_terminate_backend({})",
                       "SELECT COUNT(*) FROM pg_stat_activity WHERE pid = {}")}


@pytest.fixture(params=list(KILL))
def server_url(request):
    return request.getfixturevalue({"mysql": "mysql_url", "postgresql": "postgres_url"}[request.param])


@pytest.mark.parametrize("mode", ["sync", pytest.param("async", marks=pytest.mark.greenlet)])
@pytest.mark.parametrize("idle", [0.0, 0.6], ids=["within-bypass-window", "after-window"])
def test_connection_killed_idle_in_pool(fresh_config, server_url, mode, idle):
    ask, kill, alive = KILL[server_url.get_backend_name()]
    ZorvaneConfig(DBConfig(main=datasource_decl(server_url)))
    admin = sa.create_engine(server_url, isolation_level="AUTOCOMMIT")

    class Dao:
        @select_one(ask)
        def sync_id(self) -> dict: ...

        @select_one(ask)
        async def async_id(self) -> dict: ...

    def kill_idle(pid):
        time.sleep(idle)
        with admin.connect() as c:
            c.exec_driver_sql(kill.format(pid))
            while c.exec_driver_sql(alive.format(pid)).scalar():
                time.sleep(0.01)

    async def calls():
        first = (await Dao().async_id())["id"]
        kill_idle(first)
        return first, (await Dao().async_id())["id"], (await Dao().async_id())["id"]

    try:
        if mode == "sync":
            first = Dao().sync_id()["id"]
            kill_idle(first)
            ids = first, Dao().sync_id()["id"], Dao().sync_id()["id"]
        else:
            ids = run(calls())
    finally:
        admin.dispose()
    assert ids[1] != ids[0] and ids[2] == ids[1]  # a new connection, kept in the pool afterwards


def test_connections_go_back_outside_a_transaction(fresh_config, postgres_url):
    """Checked-out connections are pinged (a SELECT that opens a transaction on the driver): whatever the
    unit did, the connection goes back idle."""
    import psycopg

    ZorvaneConfig(DBConfig(main=datasource_decl(postgres_url)))
    engine = ZorvaneConfig.datasource["main"]["db"]

    class Dao:
        @select_one("SELECT 1 AS one")
        def one(self) -> dict: ...

        @select_one("SELECT 1 / 0 AS boom")
        def boom(self) -> dict: ...

    def nothing_to_insert():
        ZorvaneConfig.datasource["main"]["kelvor"].insert_list(sa.text("INSERT INTO t (a) VALUES (:a)"), [])

    def failing():
        with pytest.raises(sa.exc.DataError):
            Dao().boom()

    for call in (Dao().one, nothing_to_insert, failing):
        time.sleep(0.6)  # past the alive-bypass window: the checkout pings
        call()
        with engine.connect() as c:
            assert c.connection.driver_connection.info.transaction_status == psycopg.pq.TransactionStatus.IDLE
            assert engine.pool.checkedin() == 0 and engine.pool.size() >= 1


@pytest.mark.greenlet
@pytest.mark.parametrize("ending", ["failed statement", "error in a scope"])
def test_async_sqlite_connections_go_back_outside_a_transaction(fresh_config, tmp_path, ending):
    """Async SQLite pools hand a recently used connection out unpinged, ping older ones, and skip the reset
    after a unit's own commit or rollback: no pooled connection keeps a transaction (and the file's lock)."""
    from zorvane.zorvane import BaseMapper, insert

    path = tmp_path / "pool.db"
    ZorvaneConfig(DBConfig(main={"db_type": "sqlite", "sqlite_path": str(path)}))
    with ZorvaneConfig.datasource["main"]["db"].begin() as c:
        c.exec_driver_sql("CREATE TABLE t (a INTEGER PRIMARY KEY)")

    class Dao:
        @insert("INSERT INTO t (a) VALUES (#{a})")
        async def add(self, a: int) -> int: ...

        @select_one("SELECT COUNT(*) AS n FROM t")
        async def count(self) -> dict: ...

    async def calls():
        await Dao().add(1)
        if ending == "failed statement":
            with pytest.raises(sa.exc.IntegrityError):
                await Dao().add(1)
        elif ending == "error in a scope":
            with pytest.raises(LookupError):
                async with BaseMapper.switch_datasource("main"):
                    await Dao().add(2)
                    raise LookupError("undo")
        time.sleep(0.6)  # past the window: the next checkout pings
        return sqlite_writable(path), (await Dao().count())["n"], sqlite_writable(path)

    assert run(calls()) == (True, 1, True)
