"""Reads from replicas, on real replicated pairs: a PostgreSQL hot standby and a MariaDB GTID replica."""
import asyncio
import contextlib
import contextvars
import inspect
import logging
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
import sqlalchemy as sa

from conftest import HERE, datasource_decl, run

sys.path.insert(0, str(HERE.parents[1] / "tools"))
# A copy of the tests without the repository's tools (the wheel check) has no servers to start.
replicas = pytest.importorskip("replicas", reason="tools/replicas.py is not in this tree")

PORT = {"postgresql": "inet_server_port()", "mysql": "@@port"}
MODES = [pytest.param(False, id="sync"), pytest.param(True, id="async", marks=pytest.mark.greenlet)]
# Replica lag made real: the replica stops applying what the primary sends, then catches up.
PAUSE = {"postgresql": ("SELECT pg_wal_replay_pause()", "SELECT pg_wal_replay_resume()"),
         "mysql": ("STOP SLAVE SQL_THREAD", "START SLAVE SQL_THREAD")}


@pytest.fixture
def rep(fresh_config, replica_pair):
    """Datasource "rep" on the pair's primary with its replica; table notes seen on both."""
    from zorvane.zorvane import DBConfig

    primary, replica = replica_pair.primary, replica_pair.replica
    decl = dict(datasource_decl(primary), replicas=[{"port": replica.port}], read_your_writes_s=1.5,
                replica_cooldown_s=0.3)
    fresh_config(DBConfig(rep=decl))
    entry = fresh_config.datasource["rep"]
    with entry["db"].begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS notes")
        c.exec_driver_sql("CREATE TABLE notes (id INTEGER PRIMARY KEY)")
    wait_for(lambda: count(entry["replicas"][0]) == 0)
    yield replica_pair
    for engine in entry["replicas"]:
        engine.dispose()


def count(engine):
    try:
        with engine.connect() as c:
            return c.exec_driver_sql("SELECT COUNT(*) FROM notes").scalar()
    except sa.exc.DBAPIError:
        return None


def wait_for(check, seconds=20):
    end = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.05)


def notes(kind, is_async):
    """Statements on "rep": an insert and a read saying which server ran it and how many rows it saw."""
    from zorvane.zorvane import datasource, insert, select_one

    put, get = "INSERT INTO notes (id) VALUES (#{id})", f"SELECT {PORT[kind]} AS port, COUNT(*) AS n FROM notes"
    if is_async:
        @datasource("rep")
        class Notes:
            @insert(put)
            async def add(self, id: int) -> None: ...

            @select_one(get)
            async def read(self) -> dict: ...

            @datasource("rep", transactional=True)
            async def read_in_tx(self) -> dict:
                return await self.read()
    else:
        @datasource("rep")
        class Notes:
            @insert(put)
            def add(self, id: int) -> None: ...

            @select_one(get)
            def read(self) -> dict: ...

            @datasource("rep", transactional=True)
            def read_in_tx(self) -> dict:
                return self.read()
    return Notes()


async def value(x):
    return await x if inspect.isawaitable(x) else x


def other_context(is_async):
    """Runs a function of no arguments in a context that did nothing yet: a new thread, or a task of its own."""
    if is_async:
        return lambda f: asyncio.create_task(value(f()), context=contextvars.Context())
    pool = ThreadPoolExecutor(1)
    return lambda f: asyncio.wrap_future(pool.submit(lambda: asyncio.run(value(f()))))


def mode(is_async, f):
    """The coroutine `f()` driven by the test's loop: awaited directly (async) or its sync calls inside it."""
    return run(f()) if is_async else asyncio.run(f())


@pytest.mark.parametrize("is_async", MODES)
def test_reads_follow_writes_and_transactions_under_real_lag(rep, is_async):
    from zorvane.zorvane import BaseMapper, switch_datasource

    n, other = notes(rep.kind, is_async), other_context(is_async)
    primary_port, replica_port = rep.primary.port, rep.replica.port

    async def within(scope, write=False):  # `async with` for async calls
        async with contextlib.AsyncExitStack() as stack:
            await stack.enter_async_context(scope) if is_async else stack.enter_context(scope)
            if write:
                await value(n.add(2))
            return await value(n.read())

    def in_tx(write=False):
        return within(BaseMapper.switch_datasource("rep"), write)

    async def pinned_in_block_only():
        return await within(switch_datasource("rep", primary=True)), await value(n.read())

    async def after_tx_write():
        await in_tx(write=True)
        return await value(n.read())

    async def scenario():
        assert await value(n.read()) == {"port": replica_port, "n": 0}
        await value(n.add(1))
        assert await value(n.read()) == {"port": primary_port, "n": 1}  # its own write, from the primary
        assert await other(n.read) == {"port": replica_port, "n": 0}  # the replica's older state
        assert await other(after_tx_write) == {"port": primary_port, "n": 2}  # a committed write counts too
        for f in (in_tx, n.read_in_tx):
            assert await other(f) == {"port": primary_port, "n": 2}
        assert await other(pinned_in_block_only) == ({"port": primary_port, "n": 2}, {"port": replica_port, "n": 0})
        await asyncio.sleep(1.6)  # read_your_writes_s has passed
        assert await value(n.read()) == {"port": replica_port, "n": 0}

    engine = sa.create_engine(rep.replica, isolation_level="AUTOCOMMIT")
    with replicas.exclusive(), engine.connect() as c:
        c.exec_driver_sql(PAUSE[rep.kind][0])
        try:
            mode(is_async, scenario)
        finally:
            c.exec_driver_sql(PAUSE[rep.kind][1])
    engine.dispose()
    wait_for(lambda: count(rep_engine(rep)) == 2)


def rep_engine(rep):
    from zorvane.zorvane import ZorvaneConfig

    return ZorvaneConfig.datasource["rep"]["replicas"][0]


@pytest.mark.parametrize("is_async", MODES)
def test_a_stopped_replica_hands_its_reads_to_the_primary_and_gets_them_back(rep, is_async, caplog):
    if not rep.managed:
        pytest.skip("the replica is not one of tools/replicas.py, which this test stops and starts")
    n = notes(rep.kind, is_async)
    ports, errors, done = [], [], threading.Event()

    async def reads():
        while not done.is_set():
            try:
                ports.append((await value(n.read()))["port"])
            except Exception as e:  # what must not happen
                errors.append(e)
            await asyncio.sleep(0.005)

    async def scenario():
        blocking = asyncio.to_thread if is_async else lambda f, *a: asyncio.wrap_future(ThreadPoolExecutor(1).submit(f, *a))
        reader = asyncio.create_task(reads()) if is_async else blocking(asyncio.run, reads())

        async def until(check):
            for _ in range(400):
                if check():
                    return
                await asyncio.sleep(0.05)
            raise AssertionError("timed out")

        await until(lambda: rep.replica.port in ports)
        await blocking(replicas.stop_server, rep.kind, "replica")
        down = len(ports)
        await until(lambda: len(ports) > down + 20)
        during = ports[down:]
        await blocking(replicas.start_server, rep.kind, "replica")
        up = len(ports)
        await until(lambda: rep.replica.port in ports[up:])
        done.set()
        await reader
        return during

    caplog.set_level(logging.WARNING, "zorvane.replicas")
    with replicas.exclusive():
        try:
            during = mode(is_async, scenario)
        finally:
            done.set()
            replicas.start_server(rep.kind, "replica")
    assert errors == [] and set(during) == {rep.primary.port}
    warned = [r for r in caplog.records if r.name == "zorvane.replicas"]
    assert len(warned) == 1 and f":{rep.replica.port} failed" in warned[0].getMessage()


def test_forked_children_read_from_the_replica_on_connections_of_their_own(rep, caplog):
    from test_zorvane_fork import fork_children, wait_all

    n, engine = notes(rep.kind, False), rep_engine(rep)
    with caplog.at_level(logging.DEBUG, "zorvane.sql"):
        assert n.read()["port"] == rep.replica.port
    server = f"127.0.0.1:{rep.replica.port}"  # the SQL log tells which server ran it
    assert [(r.datasource, r.server, r.replica) for r in caplog.records] == [("rep", server, True)]
    assert f"[rep replica {server}]" in caplog.records[0].getMessage()
    pool = engine.pool

    def child(i):
        assert engine.pool is not pool and n.read() == {"port": rep.replica.port, "n": 0}

    assert wait_all(fork_children(child, 3)) == [0, 0, 0]
    assert n.read()["port"] == rep.replica.port and engine.pool is pool
