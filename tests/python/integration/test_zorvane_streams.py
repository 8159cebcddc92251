"""Streaming selects and bulk inserts on every backend: completeness, order, connection release, transactions."""
import asyncio
import contextlib
import dataclasses
from typing import AsyncIterator, Iterator

import pytest
import sqlalchemy as sa

from conftest import count_rows
from zorvane.zorvane import BaseMapper, ZorvaneConfig, insert_list, select_iter, switch_datasource
from test_zorvane_async import User, run

N, FETCH = 25, 7  # more rows than one fetch, and a last batch that is not full

MAPPER = """<mapper namespace="PeopleMapper">
  <select id="people" fetchSize="7" resultType="test_zorvane_streams.Person">SELECT id, name, age FROM users ORDER BY id</select>
  <insert id="add_people">INSERT INTO users (name, age) VALUES (#{name}, #{age})</insert>
  <insert id="add_people_mixed">INSERT INTO users (name, age) VALUES (#{name},
    <if test="params['age'] % 2">#{age}</if><if test="not params['age'] % 2">#{age} + 0</if>)</insert>
</mapper>"""


@dataclasses.dataclass
class Person:
    id: int
    name: str
    age: int


@dataclasses.dataclass
class Picky(Person):
    def __post_init__(self):
        if self.id == 10:
            raise ValueError("row 10 refused")


class Dao:
    @select_iter("select id, name, age from users order by id", fetch_size=FETCH)
    def people(self) -> Iterator[Person]: ...

    @select_iter("select id, name, age from users order by id", fetch_size=FETCH)
    def rows(self) -> Iterator[dict]: ...

    @select_iter("select name from users order by id", fetch_size=FETCH)
    def names(self) -> Iterator[str]: ...

    @select_iter("select id, name, age from users order by id", fetch_size=FETCH)
    def picky(self) -> Iterator[Picky]: ...

    @select_iter("select id, name, age from users order by id", fetch_size=FETCH)
    async def apeople(self) -> AsyncIterator[Person]: ...

    @insert_list("insert into users (name, age) values (:name, :age)", batch_size=3)
    def add(self, data: list) -> None: ...

    @insert_list("insert into users (name, age) values (:name, :age + 0)", batch_size=3)
    def add_computed(self, data: list) -> None: ...


class PeopleMapper(BaseMapper[User]):
    def people(self) -> Iterator[Person]: ...
    def add_people(self, rows: list) -> None: ...
    def add_people_mixed(self, rows: list) -> None: ...


class AsyncPeopleMapper(BaseMapper[User]):
    async def people(self) -> AsyncIterator[Person]: ...


AsyncPeopleMapper.__name__ = "PeopleMapper"  # the namespace is the class name
dao = Dao()
PEOPLE = [Person(i + 1, f"p{i}", i) for i in range(N)]


@pytest.fixture
def ds(main_ds, tmp_path):
    (tmp_path / "mappers").mkdir()
    (tmp_path / "mappers" / "PeopleMapper.xml").write_text(MAPPER)
    ZorvaneConfig.scan_mapper_xml(str(tmp_path / "mappers"))
    with switch_datasource("main"):
        dao.add([{"name": p.name, "age": p.age} for p in PEOPLE])
        yield main_ds


@pytest.mark.parametrize("call, expected", [
    (dao.people, PEOPLE),
    (dao.rows, [dataclasses.asdict(p) for p in PEOPLE]),
    (dao.names, [p.name for p in PEOPLE]),
    (lambda: PeopleMapper().people(), PEOPLE),
], ids=["dataclass", "dict", "one-column", "mapper"])
def test_stream_is_complete_and_in_order(ds, call, expected):
    assert list(call()) == expected and ds.pool.checkedout() == 0


def leave(stream, how):
    if how == "break":
        for _ in stream:
            break
    elif how == "close":
        next(stream), stream.close()
    elif how == "raise":
        with pytest.raises(KeyError):
            for _ in stream:
                raise KeyError("in the loop")
    else:
        with pytest.raises(ValueError, match="row 10 refused"):
            list(stream)


@pytest.mark.parametrize("how", ["break", "close", "raise", "stream error"])
def test_leaving_a_stream_releases_its_connection(ds, how):
    stream = dao.picky() if how == "stream error" else dao.people()
    next(iter(dao.people()))  # a stream dropped unread is released too
    leave(stream, how)
    del stream
    assert ds.pool.checkedout() == 0
    assert list(dao.people()) == PEOPLE  # nothing left blocking the table or the pool


@pytest.mark.parametrize("fail", [False, True], ids=["commit", "rollback"])
def test_stream_in_a_transaction_sees_its_rows_and_ends_with_it(ds, fail):
    with pytest.raises(RuntimeError) if fail else contextlib.nullcontext():
        with PeopleMapper.switch_datasource("main"):
            dao.add([{"name": "fresh", "age": 99}])
            stream = dao.people()
            assert [p.name for p in stream][-1] == "fresh"  # uncommitted, seen through the same transaction
            open_one = dao.people()
            next(open_one)
            if fail:
                raise RuntimeError("abort")
    assert open_one.closed and ds.pool.checkedout() == 0
    assert count_rows(ds) == N + (0 if fail else 1)


# A typed bind needs the toolkit's processing: these rows take its executemany, not the driver's.
TYPED_INSERT = sa.text("insert into users (name, age) values (:name, :age)").bindparams(sa.bindparam("age", type_=sa.Integer))


@pytest.mark.parametrize("n", [0, 1, 7], ids=["none", "one", "three batches"])
@pytest.mark.parametrize("write", [
    lambda rows: dao.add(rows),
    lambda rows: dao.add_computed(rows),
    lambda rows: PeopleMapper().save_batch(rows, batch_size=3),
    lambda rows: PeopleMapper().add_people(rows),
    lambda rows: PeopleMapper().add_people_mixed(rows),
    lambda rows: ZorvaneConfig.datasource["main"]["kelvor"].insert_list(TYPED_INSERT, rows, batch_size=3),
], ids=["insert_list", "insert_list expression", "save_batch", "mapper insert", "mapper insert, two texts", "typed binds"])
def test_bulk_insert_stores_each_row_once(ds, n, write):
    write([{"name": f"b{i}", "age": 1000 + i} for i in range(n)])
    with ds.connect() as c:
        got = c.exec_driver_sql("SELECT name, age FROM users WHERE age >= 1000 ORDER BY age").all()
    assert [tuple(r) for r in got] == [(f"b{i}", 1000 + i) for i in range(n)]


@pytest.mark.greenlet
def test_async_streams(ds):
    pool = []

    async def released():
        for _ in range(500):  # the close of a dropped stream runs as a task of the loop
            if pool[0].checkedout() == 0:
                return True
            await asyncio.sleep(0.01)
        return False

    async def work():
        with switch_datasource("main"):
            pool.append(ZorvaneConfig.async_engine("main").sync_engine.pool)
            assert [p async for p in dao.apeople()] == PEOPLE
            assert [p async for p in AsyncPeopleMapper().people()] == PEOPLE
            async for _ in dao.apeople():
                break
            assert await released()
            stream = dao.apeople()
            await stream.__anext__()
            await stream.aclose()
            assert pool[0].checkedout() == 0
            async with PeopleMapper.switch_datasource("main") as s:
                await s.insert_list(sa.text("insert into users (name, age) values (:name, :age)"), [{"name": "fresh", "age": 99}])
                seen = [p.name async for p in dao.apeople()]
                left_open = dao.apeople()
                await left_open.__anext__()
            assert seen[-1] == "fresh" and await released()

    run(work())
