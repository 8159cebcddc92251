"""Forked children get their own connections and none of the parent's open transaction."""
import os
import signal
import time
import traceback

import pytest
import sqlalchemy as sa

from zorvane.zorvane import BaseMapper, DataSource, ZorvaneConfig

INSERT = sa.text("INSERT INTO users (name, age) VALUES (:name, :age)")
CHILDREN = 6


@pytest.fixture
def server_ds(backend, main_ds):
    if backend == "sqlite":
        pytest.skip("a SQLite file has one writer: the parent's open transaction would block every child")
    return main_ds


def write(who):
    ZorvaneConfig.datasource["main"]["kelvor"].insert(INSERT, {"name": who, "age": 1})


def child_work(i):
    write(f"c{i}-auto")
    with BaseMapper.switch_datasource("main"):
        write(f"c{i}-scope")
        write(f"c{i}-scope2")
    try:
        with BaseMapper.switch_datasource("main"):
            write(f"c{i}-undone")
            raise LookupError
    except LookupError:
        pass


def fork_children(work, n):
    pids = []
    for i in range(n):
        pid = os.fork()
        if pid == 0:  # child: never return into pytest
            code = 1
            try:
                work(i)
                code = 0
            except BaseException:
                traceback.print_exc()
            finally:
                os._exit(code)
        pids.append(pid)
    return pids


def wait_all(pids, timeout=60.0):
    """Exit codes of the children; the ones still running at the deadline are killed."""
    codes, deadline = {}, time.monotonic() + timeout
    while len(codes) < len(pids) and time.monotonic() < deadline:
        for pid in pids:
            if pid not in codes:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    codes[pid] = os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    for pid in set(pids) - set(codes):
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        codes[pid] = "timeout"
    return [codes[p] for p in pids]


def test_children_of_a_parent_inside_a_transaction(server_ds):
    warm = [server_ds.connect() for _ in range(3)]  # idle connections for the children to inherit
    for c in warm:
        c.exec_driver_sql("SELECT 1")
        c.close()
    assert server_ds.pool.checkedin() >= 3
    with BaseMapper.switch_datasource("main"):
        write("parent-1")
        codes = wait_all(fork_children(child_work, CHILDREN))
        write("parent-2")
    assert codes == [0] * CHILDREN
    with server_ds.connect() as c:
        got = sorted(c.exec_driver_sql("SELECT name FROM users").scalars())
    expected = ["parent-1", "parent-2"] + [f"c{i}-{k}" for i in range(CHILDREN) for k in ("auto", "scope", "scope2")]
    assert got == sorted(expected)


def test_grandchildren_and_a_datasource_added_between_forks(server_ds):
    """Every generation starts clean, on datasources made before and after the first fork."""
    def child(i):
        try:
            with BaseMapper.switch_datasource("main"):
                write("undone")
                raise LookupError
        except LookupError:
            pass
        write("child-before")
        with BaseMapper.switch_datasource("main"):
            write("child-open")
            assert wait_all(fork_children(lambda j: write("grandchild"), 2)) == [0, 0]
            write("child-close")

    with BaseMapper.switch_datasource("main"):
        write("parent")
        assert wait_all(fork_children(child, 2)) == [0, 0]
    url = server_ds.url
    ZorvaneConfig.add_datasource_config("late", DataSource(url.get_backend_name(), url.host, url.port, url.username,
                                                           url.password or "", url.database))
    late = ZorvaneConfig.datasource["late"]["kelvor"]
    with BaseMapper.switch_datasource("late"):
        late.insert(INSERT, {"name": "late-parent", "age": 1})
        assert wait_all(fork_children(lambda j: late.insert(INSERT, {"name": "late-child", "age": 1}), 2)) == [0, 0]
    with server_ds.connect() as c:
        got = sorted(c.exec_driver_sql("SELECT name FROM users").scalars())
    assert got == sorted(["parent", "late-parent"] + ["child-before", "child-open", "child-close"] * 2
                         + ["grandchild"] * 4 + ["late-child"] * 2)
