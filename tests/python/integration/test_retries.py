"""@datasource(..., retries=N): real conflicts on the servers, SQLite's write lock, a commit lost on the way."""
import asyncio
import collections
import contextlib
import concurrent.futures
import logging
import random
import sqlite3

import pytest
import sqlalchemy as sa

from conftest import URL_FIXTURE, datasource_decl, run
from zorvane.zorvane import DBConfig, ZorvaneConfig, datasource, insert, update

pytestmark = pytest.mark.greenlet
MOVE = "UPDATE account SET balance = balance + #{delta} WHERE id = #{id}"
BOTH = ("WITH moved AS (UPDATE account SET balance = balance + CASE WHEN id = #{src} THEN -#{amount} ELSE #{amount} END "
        "WHERE id IN (#{src}, #{dst}) RETURNING id) INSERT INTO ledger SELECT #{tid}, #{src}, #{dst}, #{amount} FROM moved LIMIT 1")
# Delays from about a transaction's length under this load up to 2 s, which outlast the machine's busy spells.
RETRY = {"transactional": True, "retries": 10, "retry_base_s": 0.05, "retry_cap_s": 2.0}
RECORD = "INSERT INTO ledger (tid, src, dst, amount) VALUES (#{tid}, #{src}, #{dst}, #{amount})"


class Bank:
    @update(MOVE)
    def move(self, id: int, delta: int) -> int: ...

    @update(BOTH)
    def both(self, tid: str, src: int, dst: int, amount: int) -> int: ...

    @insert(RECORD)
    def record(self, tid: str, src: int, dst: int, amount: int) -> int: ...


class AsyncBank:
    @update(MOVE)
    async def move(self, id: int, delta: int) -> int: ...

    @update(BOTH)
    async def both(self, tid: str, src: int, dst: int, amount: int) -> int: ...

    @insert(RECORD)
    async def record(self, tid: str, src: int, dst: int, amount: int) -> int: ...


def steps(server, bank, tid, src, dst, amount, flip):
    """One transfer's statement calls: on MariaDB two UPDATEs in either order (deadlocks), then the ledger row;
    on PostgreSQL one statement, whose lock window is the shortest (SERIALIZABLE refuses what waited on a lock)."""
    if server == "postgresql":
        return [lambda: bank.both(tid, src, dst, amount)]
    moves = [lambda: bank.move(src, -amount), lambda: bank.move(dst, amount)]
    return (moves[::-1] if flip else moves) + [lambda: bank.record(tid, src, dst, amount)]


@pytest.mark.parametrize("mode", ["threads", "tasks"])
@pytest.mark.parametrize("server", ["postgresql", "mysql"])
def test_conflicting_transfers_commit_exactly_once(server, mode, request, fresh_config, caplog):
    decl = datasource_decl(request.getfixturevalue(URL_FIXTURE[server]))
    if server == "postgresql":
        decl["connect_args"] = {"options": "-c default_transaction_isolation=serializable"}
    ZorvaneConfig(DBConfig(main=decl))
    with ZorvaneConfig.datasource["main"]["db"].begin() as c:
        for table in ("account", "ledger"):
            c.exec_driver_sql(f"DROP TABLE IF EXISTS {table}")
        c.exec_driver_sql("CREATE TABLE account (id INT PRIMARY KEY, balance INT NOT NULL)")
        c.exec_driver_sql("CREATE TABLE ledger (tid VARCHAR(20) PRIMARY KEY, src INT, dst INT, amount INT)")
        c.exec_driver_sql("INSERT INTO account VALUES " + ", ".join(f"({i}, 1000)" for i in range(10)))
    rnd = random.Random(28)
    plans = [[(f"{w}-{i}", *rnd.sample(range(10), 2), rnd.randint(1, 50), rnd.random() < 0.5) for i in range(200)]
             for w in range(8)]
    caplog.set_level(logging.INFO, logger="zorvane.sql")  # the retries only
    if mode == "threads":
        transfer = datasource("main", **RETRY)(lambda *t: [s() for s in steps(server, Bank(), *t)])
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            for done in [pool.submit(lambda p=p: [transfer(*t) for t in p]) for p in plans]:
                done.result()
    else:
        @datasource("main", **RETRY)
        async def transfer(*t):
            for step in steps(server, AsyncBank(), *t):
                await step()

        async def work(plan):
            for t in plan:
                await transfer(*t)

        async def everyone():
            await asyncio.gather(*map(work, plans))

        run(everyone())
    with ZorvaneConfig.datasource["main"]["db"].connect() as c:
        ledger = c.exec_driver_sql("SELECT tid, src, dst, amount FROM ledger").all()
        balances = dict(c.exec_driver_sql("SELECT id, balance FROM account").all())
    expected = collections.Counter({i: 1000 for i in range(10)})
    for _, src, dst, amount in ledger:
        expected[src] -= amount
        expected[dst] += amount
    assert sorted(r.tid for r in ledger) == sorted(t[0] for p in plans for t in p)
    assert balances == dict(expected) and sum(balances.values()) == 10000
    retries = caplog.records
    print(f"{server} {mode}: 1600 transfers, {len(retries)} retries, most attempts {max(r.attempt for r in retries) + 1}")
    assert retries and all("retrying in" in r.getMessage() for r in retries)


class Rows:
    @insert("INSERT INTO t (x) VALUES (#{x})")
    def add(self, x: int) -> int: ...


@pytest.fixture
def locked(fresh_config, sqlite_url):
    """Datasource "main" on a SQLite file (no busy wait) whose write lock another connection holds; that one."""
    ZorvaneConfig(DBConfig(main={"db_type": "sqlite", "sqlite_path": sqlite_url.database, "connect_args": {"timeout": 0}}))
    with ZorvaneConfig.datasource["main"]["db"].begin() as c:
        c.exec_driver_sql("CREATE TABLE t (x INTEGER PRIMARY KEY)")
    blocker = sqlite3.connect(sqlite_url.database, isolation_level=None)
    blocker.execute("BEGIN IMMEDIATE")
    yield blocker
    blocker.close()


@pytest.mark.parametrize("case, runs, attempts, note", [
    ("released", {"outer": 2}, [1, 2], None),  # the lock goes after the first attempt
    ("caught", {"outer": 2}, [1, 2], None),  # the body catches the failure: the commit refuses, the call retries
    ("inner", {"outer": 2, "inner": 2}, [1, 2], None),  # the joined call lets the failure reach the outer one
    ("held", {"outer": 3}, [1, 2, 3], "gave up after 3 attempts (retries=2)"),
    ("duplicate", {"outer": 1}, [1, 1], None),  # not a conflict: never retried
])
def test_sqlite_lock(locked, caplog, case, runs, attempts, note):
    caplog.set_level(logging.DEBUG, logger="zorvane.sql")
    ran = collections.Counter()

    @datasource("main", transactional=True, retries=5)
    def inner():
        ran["inner"] += 1
        Rows().add(1)

    @datasource("main", transactional=True, retries=2)
    class Outer:  # the functions' way is the transfers'
        def run(self):
            ran["outer"] += 1
            try:
                if case == "duplicate":
                    Rows().add(1)
                inner() if case == "inner" else Rows().add(1)
            except sa.exc.OperationalError:
                if case != "caught":
                    raise
            finally:
                if case != "held":
                    locked.rollback()

    if case == "duplicate":
        locked.rollback()
    with pytest.raises(sa.exc.DBAPIError) if note or case == "duplicate" else contextlib.nullcontext() as failed:
        Outer().run()
    assert note in str(failed.value.__notes__) if note else case != "duplicate" or not hasattr(failed.value, "__notes__")
    assert ran == runs and [r.attempt for r in caplog.records if r.levelno == logging.DEBUG] == attempts
    assert [r.attempt for r in caplog.records if r.levelno == logging.INFO] == sorted(set(attempts))[:-1]


@pytest.mark.parametrize("idempotent", [False, True])
def test_a_commit_lost_with_its_connection_reruns_only_an_idempotent_call(postgres_url, fresh_config, idempotent):
    ZorvaneConfig(DBConfig(main=datasource_decl(postgres_url)))
    engine, admin = ZorvaneConfig.datasource["main"]["db"], sa.create_engine(postgres_url, isolation_level="AUTOCOMMIT")
    with engine.begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS t")
        c.exec_driver_sql("CREATE TABLE t (x INT PRIMARY KEY)")
    killed = []

    @sa.event.listens_for(engine, "commit")
    def kill_first(conn):  # the server side of the connection goes just before the first COMMIT
        if not killed:
            killed.append(conn.connection.dbapi_connection.info.backend_pid)
            with admin.connect() as c:
                c.exec_driver_sql(f"SELECT pg_terminate_backend({killed[0]}, 10000)")

    ran = []
    add = datasource("main", transactional=True, retries=3, idempotent=idempotent)(lambda: ran.append(Rows().add(1)))
    if idempotent:
        add()
    else:
        with pytest.raises(sa.exc.OperationalError) as failed:
            add()
        assert "not declared idempotent=True" in failed.value.__notes__[0]
    with engine.connect() as c:
        assert (len(ran), c.exec_driver_sql("SELECT COUNT(*) FROM t").scalar()) == ((2, 1) if idempotent else (1, 0))
    admin.dispose()
