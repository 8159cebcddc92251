"""The async surface on every backend: decorators, mapper interfaces, AsyncBaseMapper, scopes, tasks and cancellation."""
import asyncio
import dataclasses
import gc
import inspect
import json
import subprocess
import sys

import pytest
import sqlalchemy as sa
from sqlalchemy.ext.asyncio import AsyncSession
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from conftest import count_rows, datasource_decl, names, run
from zorvane.db.ostrane import Page
from zorvane.zorvane import (
    AsyncBaseMapper,
    BaseMapper,
    DataSource,
    ZorvaneConfig,
    datasource,
    db_session,
    delete,
    get_current_db,
    insert,
    insert_list,
    select_list,
    select_one,
    select_page,
    switch_datasource,
    update,
)

pytestmark = pytest.mark.greenlet


class Base(DeclarativeBase):
    pass


class User(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str | None] = mapped_column(sa.String(50))
    age: Mapped[int | None]
    note: Mapped[str | None] = mapped_column(sa.String(200))


@dataclasses.dataclass
class Person:
    id: int
    name: str
    age: int


MAPPER = """<mapper namespace="UserMapper">
  <select id="adults">
    SELECT id, name, age FROM users <where><if test="params.get('min_age') is not None">age &gt;= #{min_age}</if></where> ORDER BY id
  </select>
  <insert id="add_user">INSERT INTO users (name, age) VALUES (#{name}, #{age})</insert>
  <select id="named">SELECT id, name, age FROM users WHERE name = #{name}</select>
</mapper>"""


class Dao:
    @select_one("select id, name, age from users where id = #{id}")
    async def one(self, id: int) -> Person | None: ...

    @select_list("select id, name, age from users where age >= #{age} order by id")
    async def older(self, age: int) -> list[Person]: ...

    @select_page("select name from users order by id")
    async def names(self, page: Page) -> list[dict]: ...

    @insert("insert into users (name, age) values (#{name}, #{age})")
    async def add(self, name: str, age: int) -> int: ...

    @insert_list("insert into users (name, age) values (:name, :age)")
    async def add_many(self, data: list) -> None: ...

    @update("update users set age = #{age} where name = #{name}")
    async def set_age(self, name: str, age: int) -> int: ...

    @delete("delete from users where name = #{name}")
    async def remove(self, name: str) -> int: ...


class UserMapper(AsyncBaseMapper[User]):
    async def adults(self, min_age: int = None) -> list[dict]: ...
    async def add_user(self, name: str, age: int) -> int: ...

    async def not_in_the_file(self, x):
        return ("ran", x, get_current_db())

    async def named(self, name: str) -> dict | None: ...


class SyncBaseUsers(BaseMapper[User]):
    async def adults(self, min_age: int = None) -> list[dict]: ...


SyncBaseUsers.__name__ = "UserMapper"  # the namespace is the class name


class SyncUsers(BaseMapper[User]):
    def named(self, name: str) -> dict | None: ...

    def adults(self, min_age: int = None) -> list[dict]: ...


SyncUsers.__name__ = "UserMapper"




def slow_query(backend):
    return {
        "mysql": "SELECT SLEEP(2)",
        "postgresql": "SELECT pg_sleep(2)",
        "sqlite": "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 20000000) SELECT count(*) FROM c",
    }[backend]


@pytest.fixture
def ds(main_ds, tmp_path):
    (tmp_path / "mappers").mkdir()
    (tmp_path / "mappers" / "UserMapper.xml").write_text(MAPPER)
    ZorvaneConfig.scan_mapper_xml(str(tmp_path / "mappers"))
    return main_ds


def test_decorators_on_async_functions(ds):
    dao = Dao()

    async def work():
        with switch_datasource("main"):
            await dao.add("ada", 36)  # the key comes back on SQLite and MariaDB; PostgreSQL needs RETURNING
            key = (await dao.older(36))[0].id
            await dao.add_many([{"name": "bob", "age": 17}, {"name": "cy", "age": 52}])
            assert await dao.set_age("bob", 18) == 1
            assert await dao.remove("nobody") == 0
            return (key, await dao.one(key), await dao.older(18), await dao.names(Page(2, 2)))

    key, one, older, page = run(work())
    assert one == Person(key, "ada", 36)
    assert [p.name for p in older] == ["ada", "bob", "cy"] and all(isinstance(p, Person) for p in older)
    assert page == {"pageNum": 2, "pageSize": 2, "total": 3, "list": [{"name": "cy"}]}
    assert ds.pool.checkedout() == 0


def test_coroutine_marks_and_signature():
    assert asyncio.iscoroutinefunction(Dao.older)
    if hasattr(inspect, "markcoroutinefunction"):
        assert inspect.iscoroutinefunction(Dao.older)
    assert list(inspect.signature(Dao.older).parameters) == ["self", "age"]


def test_mapper_interfaces_and_async_base_mapper(ds):
    async def work():
        with switch_datasource("main"):
            m = UserMapper()
            await m.add_user("ada", 36)
            key = await m.insert({"name": "bob", "age": 17})
            await m.save_batch([{"name": "cy", "age": 52}, {"name": "dee", "age": 9}])
            assert await m.update_by_id({"id": key, "age": 20}, selective=True) == 1
            got = {
                "adults": await m.adults(min_age=18),
                "by_id": await m.select_by_id(key),
                "all": await m.select_all(),
                "page": await m.select_page_by_sql("select name from users order by id", page=Page(1, 2)),
                "orm_page": await m.select_page_by_orm(sa.select(User).order_by(User.id), page=Page(2, 3)),
                "sync_base": await SyncBaseUsers().adults(min_age=50),
                "own": await m.not_in_the_file(7),
            }
            assert await m.delete_by_id(key) == 1
            return got

    got = run(work())
    assert [p["name"] for p in got["adults"]] == ["ada", "bob", "cy"]
    assert got["by_id"].name == "bob" and got["by_id"].age == 20
    assert sorted(u.name for u in got["all"]) == ["ada", "bob", "cy", "dee"]  # no order asked for
    assert got["page"]["total"] == 4 and got["page"]["list"] == [{"name": "ada"}, {"name": "bob"}]
    assert got["orm_page"]["total"] == 4 and [u.name for u in got["orm_page"]["list"]] == ["dee"]
    assert got["sync_base"] == [{"id": 3, "name": "cy", "age": 52}]
    assert got["own"] == ("ran", 7, "main")
    assert names(ds) == ["ada", "cy", "dee"]


def test_a_method_annotated_optional_gets_none_for_no_row(ds):
    sync = SyncUsers()
    with switch_datasource("main"):
        sync.insert({"name": "ada", "age": 36})
        assert sync.named("ada")["name"] == "ada" and sync.named("nobody") is None
        assert sync.adults(min_age=99) == []  # a list annotation keeps its empty list

    async def work():
        with switch_datasource("main"):
            return await UserMapper().named("nobody")

    assert run(work()) is None


@pytest.mark.parametrize("fail", [False, True])
def test_nested_async_transactions_commit_once_or_roll_back_whole(ds, fail):
    dao = Dao()

    async def work():
        async with BaseMapper.switch_datasource("main") as s:
            await dao.add("outer", 1)
            async with UserMapper.switch_datasource("main"):
                await s.insert(sa.text("insert into users (name, age) values (:n, 2)"), {"n": "inner"})
                assert count_rows(ds) == 0  # nothing visible before the outermost commit
                if fail:
                    raise LookupError("undo")
            await dao.add("after-inner", 3)

    if fail:
        with pytest.raises(LookupError):
            run(work())
        assert names(ds) == []
    else:
        run(work())
        assert names(ds) == ["after-inner", "inner", "outer"]
    assert ds.pool.checkedout() == 0


def test_transactional_decorator_and_class(ds):
    dao = Dao()

    @datasource("main", transactional=True)
    async def two(fail):
        await dao.add("x", 1)
        await dao.add("y", 2)
        if fail:
            raise ValueError("nope")
        return get_current_db()

    @datasource("main", transactional=True)
    class Service:
        async def write(self, who):
            await dao.add(who, 5)
            return await dao.older(5)

    async def work():
        with pytest.raises(ValueError):
            await two(True)
        assert count_rows(ds) == 0
        where = await two(False)
        return where, await Service().write("svc")

    where, rows = run(work())
    assert where == "main" and [p.name for p in rows] == ["svc"]
    assert names(ds) == ["svc", "x", "y"]


def test_db_session_yields_an_async_session(ds):
    async def work():
        async with db_session("main") as s:
            assert isinstance(s, AsyncSession)
            await s.execute(sa.text("insert into users (name, age) values ('kept', 1)"))
        with pytest.raises(KeyError):
            async with BaseMapper.db_session("main") as s:
                await s.execute(sa.text("insert into users (name, age) values ('lost', 1)"))
                raise KeyError

    run(work())
    assert names(ds) == ["kept"] and ds.pool.checkedout() == 0


def test_sync_call_inside_an_async_transaction_is_refused(ds):
    @select_list("select name from users")
    def sync_names() -> list[dict]: ...

    async def work():
        async with BaseMapper.switch_datasource("main"):
            with pytest.raises(RuntimeError, match="outside that transaction"):
                with switch_datasource("main"):
                    sync_names()
            # a thread of this task is another connection's work, not a mix-up
            return await asyncio.to_thread(lambda: switch_datasource("main")(sync_names)())

    assert run(work()) == []
    with switch_datasource("main"):
        assert sync_names() == []  # sync code outside async transactions is unchanged


def test_child_tasks_inherit_the_selection_but_not_the_transaction(ds):
    dao = Dao()

    async def child():
        await dao.add("child", 1)
        return get_current_db()

    async def work():
        with switch_datasource("main"):
            with pytest.raises(LookupError):
                async with BaseMapper.switch_datasource("main"):
                    assert await asyncio.create_task(child()) == "main"  # before the parent writes: SQLite has one writer
                    await dao.add("parent", 1)
                    raise LookupError

    run(work())
    assert names(ds) == ["child"]


def test_concurrent_tasks_each_in_their_own_transaction(ds):
    dao = Dao()

    async def task(i):
        try:
            async with BaseMapper.switch_datasource("main"):
                await dao.add(f"t{i}-a", i)
                await asyncio.sleep(0)
                await dao.add(f"t{i}-b", i)
                if i % 5 == 0:
                    raise LookupError(i)
        except LookupError:
            pass

    async def work():
        await asyncio.gather(*(task(i) for i in range(50)))

    run(work())
    expected = sorted(f"t{i}-{k}" for i in range(50) if i % 5 for k in "ab")
    assert names(ds) == expected and ds.pool.checkedout() == 0


@pytest.mark.parametrize("point", ["before", "between", "during", "timeout"])
def test_cancellation_leaves_nothing_and_frees_the_connection(ds, backend, point):
    dao = Dao()
    slow = sa.text(slow_query(backend))
    started = None

    async def victim():
        async with BaseMapper.switch_datasource("main") as s:
            if point == "before":
                started.set()
                await asyncio.sleep(10)
            await dao.add("lost-1", 1)
            if point == "between":
                started.set()
                await asyncio.sleep(10)
            started.set()
            await s.select_list(slow)
            await dao.add("lost-2", 2)

    async def work():
        nonlocal started
        started = asyncio.Event()
        if point == "timeout":
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.3):
                    await victim()
        else:
            t = asyncio.create_task(victim())
            await started.wait()
            await asyncio.sleep(0.2 if point == "during" else 0)
            t.cancel()
            with pytest.raises(asyncio.CancelledError):
                await t
        assert count_rows(ds) == 0
        async with BaseMapper.switch_datasource("main"):
            await dao.add("next", 3)

    run(work())
    assert names(ds) == ["next"] and ds.pool.checkedout() == 0


def test_loops_one_after_another_never_share_a_connection(ds):
    dao = Dao()
    add = switch_datasource("main")(dao.add)
    asyncio.run(add("first", 1))  # no dispose: the pooled connection stays with a closed loop
    asyncio.run(add("second", 2))
    assert len(run(switch_datasource("main")(dao.older)(0))) == 2 and names(ds) == ["first", "second"]
    gc.collect()


# Loops that close with connections pooled, each way a loop ends; in a process of its own, where
# every finaliser that fails or warns (-W error) is recorded, and so is every leftover thread.
LOOPS = r"""
import asyncio, gc, json, sys, threading
from zorvane.zorvane import DBConfig, ZorvaneConfig, insert

seen = []
sys.unraisablehook = lambda u: seen.append(f"{u.exc_type.__name__}: {u.exc_value} in {u.object!r}")
threading.excepthook = lambda a: seen.append(f"{a.thread.name}: {a.exc_value!r}")
ZorvaneConfig(DBConfig(main=json.loads(sys.argv[1])))

@insert("insert into users (name, age) values (#{name}, 1)")
async def add(name: str) -> int: ...

class Sealed(asyncio.SelectorEventLoop):  # takes no attribute, as a compiled loop class may not
    def __setattr__(self, name, value):
        if name == "close":
            raise AttributeError(name)
        super().__setattr__(name, value)

for i in range(3):
    asyncio.run(add(f"run-{i}"))
    loop = asyncio.new_event_loop()  # closed without shutdown_asyncgens
    loop.run_until_complete(add(f"loop-{i}"))
    loop.close()
    with asyncio.Runner(loop_factory=Sealed) as runner:
        runner.run(add(f"sealed-{i}"))
    gc.collect()
ZorvaneConfig.datasource["main"]["db"].dispose()
ZorvaneConfig.datasource = {}
gc.collect()
for t in threading.enumerate():
    if t is not threading.current_thread():
        t.join(5)
print(json.dumps({"seen": seen, "threads": [t.name for t in threading.enumerate()][1:]}))
"""


def test_closed_loops_leave_no_connection_to_the_garbage_collector(main_ds):
    decl = json.dumps(datasource_decl(main_ds.url))
    r = subprocess.run([sys.executable, "-W", "error", "-c", LOOPS, decl], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout.splitlines()[-1]) == {"seen": [], "threads": []}
    assert count_rows(main_ds) == 9


def test_async_engine_of_an_engine_made_elsewhere(fresh_config, backend_url):
    from zorvane.zorvane import DBConfig

    ZorvaneConfig(DBConfig(main=datasource_decl(backend_url)))
    ZorvaneConfig.datasource["main"]["db"] = sa.create_engine(backend_url, pool_size=3, pool_timeout=7)

    async def work():
        engine = ZorvaneConfig.async_engine("main")
        async with engine.connect() as c:
            return (await c.exec_driver_sql("SELECT 1")).scalar(), engine.pool.size(), engine.pool.timeout()

    assert run(work()) == (1, 3, 7)


def test_datasource_added_at_run_time(ds, engine, backend):
    url = engine.url
    if backend == "sqlite":
        added = DataSource("sqlite", sqlite_path=url.database)
    else:
        added = DataSource(url.get_backend_name(), url.host, url.port, url.username, url.password or "", url.database)
    ZorvaneConfig.add_datasource_config("late", added)

    @select_list("select name from users")
    async def rows() -> list[dict]: ...

    async def work():
        async with BaseMapper.switch_datasource("late") as s:
            await s.insert(sa.text("insert into users (name, age) values ('late', 1)"), {})
            return await rows()

    assert run(work()) == [{"name": "late"}]


def test_in_memory_sqlite_is_one_database_for_sync_and_async(fresh_config):
    from zorvane.zorvane import DBConfig

    ZorvaneConfig(DBConfig(main={"db_type": "sqlite", "sqlite_path": ":memory:"}))
    eng = ZorvaneConfig.datasource["main"]["db"]
    with eng.begin() as c:
        c.exec_driver_sql("CREATE TABLE users (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(50), age INTEGER)")
        c.exec_driver_sql("INSERT INTO users (name, age) VALUES ('sync', 1)")
    dao = Dao()
    for _ in range(2):  # a second loop finds the same database
        run(dao.add("async", 2))
    assert names(eng) == ["async", "async", "sync"]


def test_async_engines_keep_the_datasource_settings(fresh_config, postgres_url):
    """connect_args reach the async driver, and a dict still goes to PostgreSQL as JSON."""
    from conftest import datasource_decl
    from zorvane.zorvane import DBConfig

    decl = dict(datasource_decl(postgres_url), connect_args={"application_name": "zv-async"}, pool_size=3)
    ZorvaneConfig(DBConfig(main=decl))

    @select_one("select current_setting('application_name') as app, cast(#{doc} as jsonb) ->> 'k' as k")
    async def probe(doc: dict) -> dict: ...

    async def work():
        return await probe({"k": "v"}), ZorvaneConfig.async_engine("main").pool.size()

    assert run(work()) == ({"app": "zv-async", "k": "v"}, 3)
