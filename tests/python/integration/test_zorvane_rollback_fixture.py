"""The pytest plugin's zorvane_rollback, used by a sample project run with pytester on each backend: what a
test writes, through every kind of unit, is gone in the next test, sync and async."""
import pytest

from conftest import datasource_decl
from zorvane.zorvane import DBConfig, insert, select_list, switch_datasource

pytest_plugins = ["pytester", "zorvane.testing"]
pytestmark = pytest.mark.greenlet

SAMPLE = '''
import asyncio
import threading

import pytest
import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column
from zorvane.exception import TransactionRolledBackError
from zorvane.zorvane import (AsyncBaseMapper, BaseMapper, DBConfig, ZorvaneConfig, datasource, db_session, insert,
                             select_iter, select_list, switch_datasource)

pytest_plugins = ["zorvane.testing"]
pytestmark = pytest.mark.usefixtures("zorvane_rollback")


class Base(DeclarativeBase):
    pass


class Item(Base):
    __tablename__ = "item"
    name: Mapped[str] = mapped_column(sa.String(20), primary_key=True)


class Items(BaseMapper[Item]):
    pass


class AsyncItems(AsyncBaseMapper[Item]):
    pass


class Dao:
    @insert("INSERT INTO item (name) VALUES (#{name})")
    def add(self, name: str) -> int: ...

    @insert("INSERT INTO item (name) VALUES (#{name})")
    async def add_async(self, name: str) -> int: ...

    @select_list("SELECT name FROM item ORDER BY name")
    def names(self) -> list[dict]: ...

    @select_list("SELECT name FROM item ORDER BY name")
    async def names_async(self) -> list[dict]: ...

    @select_iter("SELECT name FROM item ORDER BY name", fetch_size=1)
    def stream(self): ...


dao = Dao()


@datasource("main", transactional=True)
def add_pair(a, b, fail=False):
    dao.add(a)
    dao.add(b)
    if fail:
        raise ValueError(a)


@datasource("main", nested=True)
def add_or_undo(name, fail):
    dao.add(name)
    if fail:
        raise ValueError(name)


def names():
    with switch_datasource("main"):
        return [r["name"] for r in dao.names()]


@pytest.fixture(scope="module", autouse=True)
def db():
    ZorvaneConfig(DBConfig(main=DECL))
    with ZorvaneConfig.datasource["main"]["db"].begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS item")
        c.exec_driver_sql("CREATE TABLE item (name VARCHAR(20) PRIMARY KEY)")


def test_every_unit_commits_into_the_outer_transaction(zorvane_statements):
    with switch_datasource("main"):
        dao.add("auto")
        with pytest.raises(sa.exc.IntegrityError):
            dao.add("auto")  # rolled back to its own savepoint: the test goes on
        with BaseMapper.switch_datasource("main"):
            dao.add("scope")
            with pytest.raises(ValueError):
                add_or_undo("undone", True)
            add_or_undo("kept", False)
        add_pair("p1", "p2")
        Items().add(Item(name="orm"))
        with db_session("main") as s:
            s.add(Item(name="raw"))
        worker = threading.Thread(target=lambda: add_pair("thread1", "thread2"))
        worker.start()
        worker.join()
    assert names() == ["auto", "kept", "orm", "p1", "p2", "raw", "scope", "thread1", "thread2"]
    assert [s.id for s in zorvane_statements][:3] == ["Dao.add", "Dao.add", "Dao.add"]  # no savepoint statements


def test_a_rolled_back_transaction_of_the_test():
    with pytest.raises(TransactionRolledBackError):
        with BaseMapper.switch_datasource("main"):
            dao.add("x")
            with pytest.raises(ValueError):
                add_pair("y", "z", fail=True)
    with switch_datasource("main"):
        dao.add("after")
    assert names() == ["after"]


def test_async_units_in_one_event_loop():
    async def work():
        try:
            with switch_datasource("main"):
                await dao.add_async("a1")
                async with BaseMapper.switch_datasource("main"):
                    await dao.add_async("a2")
                await AsyncItems().add(Item(name="a3"))
                async with db_session("main") as s:
                    s.add(Item(name="a4"))
                await ZorvaneConfig.dispose_async()  # the loop's engines are made again, on the same connection
                with pytest.raises(sa.exc.IntegrityError):
                    await dao.add_async("a1")
                return [r["name"] for r in await dao.names_async()]
        finally:
            await ZorvaneConfig.dispose_async()

    assert asyncio.run(work()) == ["a1", "a2", "a3", "a4"]


@pytest.fixture
def anyio_backend():
    return "asyncio"


@pytest.mark.anyio
async def test_an_async_test(anyio_backend):
    with switch_datasource("main"):
        assert await dao.names_async() == []
        await dao.add_async("native")
        assert [r["name"] for r in await dao.names_async()] == ["native"]


def test_fails_with_a_transaction_and_a_stream_open():
    scope = BaseMapper.switch_datasource("main")
    scope.__enter__()
    dao.add("left")
    rows = dao.stream()  # left open: closed at teardown, before the rollback
    assert next(rows) == {"name": "left"}
    assert False, "fails inside the transaction"


def test_nothing_is_left_and_the_context_is_idle():
    assert names() == [] and not ZorvaneConfig.datasource["main"]["kelvor"]._in_transaction()
'''


def test_zorvane_rollback_in_a_sample_project(pytester, engine):
    pytester.makepyfile(test_sample=SAMPLE.replace("DECL", repr(datasource_decl(engine.url))))
    result = pytester.runpytest_subprocess("-q", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=5, failed=1)
    result.stdout.fnmatch_lines(["*AssertionError: fails inside the transaction"])  # the one failure is its own


class Notes:
    @insert("INSERT INTO notes (id) VALUES (#{id})")
    def add(self, id: int) -> int: ...

    @select_list("SELECT id FROM notes")
    def ids(self) -> list[int]: ...


def test_reads_stay_on_the_primary(fresh_config, engine, zorvane_rollback):
    if engine.dialect.name == "sqlite":
        pytest.skip("replicas are for servers")
    with engine.begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS notes")
        c.exec_driver_sql("CREATE TABLE notes (id INTEGER PRIMARY KEY)")
    # the replica is a second pool on the same server: it sees only what is committed
    decl = datasource_decl(engine.url)
    fresh_config(DBConfig(rep=dict(decl, replicas=[{"port": decl["port"]}], read_your_writes_s=0)))
    with switch_datasource("rep"):
        Notes().add(7)
        assert Notes().ids() == [7]
