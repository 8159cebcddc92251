"""Statement decorators on real databases: conversions, paging, writes, transactions and the current datasource."""
import asyncio
import dataclasses
import re
import typing
from typing import Any

import pydantic
import pytest
import sqlalchemy as sa
import typing_extensions
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from conftest import count_rows, create_user_table, datasource_decl, returning_id
from zorvane.db.ostrane import Page
from zorvane.zorvane import (
    DBConfig,
    ZorvaneConfig,
    _prepare_sql,
    datasource,
    datasource_context,
    delete,
    insert,
    insert_list,
    select_list,
    select_one,
    select_page,
    switch_datasource,
    update,
)

ROWS = [(f"u{i}", 10 * i) for i in range(1, 13)]  # ids 1..12, ages 10..120
ALL = "select id, name, age, note from users where age > #{age} order by id"
ONE = "select id, name, age, note from users where id = #{id}"
AGE = "select age from users where id = #{id}"
MISSING = object()


@dataclasses.dataclass
class User:
    id: int
    name: str
    age: int
    note: str | None = None


class PUser(pydantic.BaseModel):
    id: int
    name: str
    age: int
    note: str | None = None


class Base(DeclarativeBase):
    pass


class UserRow(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str]
    age: Mapped[int]
    note: Mapped[str | None]


@pytest.fixture
def db(fresh_config, backend_url):
    """One datasource "main" on the backend with twelve users."""
    ZorvaneConfig(DBConfig(main=datasource_decl(backend_url)))
    engine = ZorvaneConfig.datasource["main"]["db"]
    create_user_table(engine)
    with engine.begin() as c:
        c.execute(sa.text("INSERT INTO users (name, age) VALUES (:n, :a)"), [{"n": n, "a": a} for n, a in ROWS])
    return engine


def bind(factory, sql, returns=MISSING, params="id"):
    """`factory(sql)` applied to a fresh function of `params`, annotated to return `returns`."""
    ns = {}
    exec(f"def fn({params}): ...", {}, ns)
    fn = ns["fn"]
    if returns is not MISSING:
        fn.__annotations__ = {"return": returns}
    return factory(sql)(fn)


def shape(x):
    """Comparable form of a converted row (declarative objects compare by identity)."""
    if isinstance(x, list):
        return [shape(i) for i in x]
    if isinstance(x, UserRow):
        return ("UserRow", x.id, x.name, x.age, x.note)
    return x


def user(i, cls=User):
    name, age = ROWS[i - 1]
    return cls(id=i, name=name, age=age, note=None)


ROW3 = {"id": 3, "name": "u3", "age": 30, "note": None}


@pytest.mark.parametrize(
    "sql, returns, expected",
    [
        (ONE, User, user(3)),
        (ONE, PUser, user(3, PUser)),
        (ONE, UserRow, shape(user(3, UserRow))),
        (ONE, list[User], user(3)),
        (ONE, typing.List[PUser], user(3, PUser)),
        (ONE, dict, ROW3),
        (ONE, MISSING, ROW3),
        (ONE, dict[str, Any], ROW3),
        (ONE, list[dict[str, Any]], ROW3),
        (ONE, User | None, user(3)),
        (ONE, typing.Optional[PUser], user(3, PUser)),
        (AGE, typing.Optional[int], 30),
        (AGE, int, 30),
        (AGE, User, TypeError),  # a result class is built from whatever the row holds
        (ONE, int, "please check result type"),
        (ONE, list, "please check result type"),
    ],
)
def test_select_one_conversions(db, sql, returns, expected):
    find = bind(select_one, sql, returns)
    if expected is TypeError or isinstance(expected, str):
        with pytest.raises(TypeError) as error:
            find(3)
        assert expected is TypeError or str(error.value) == expected  # notes may explain it
    else:
        assert shape(find(3)) == expected
    assert find(999) is None  # no row: None whatever the annotation


@pytest.mark.parametrize(
    "sql, returns, expected",
    [
        (ALL, list[User], [user(i) for i in (10, 11, 12)]),
        (ALL, list[PUser], [user(i, PUser) for i in (10, 11, 12)]),
        (ALL, list[UserRow], [shape(user(i, UserRow)) for i in (10, 11, 12)]),
        (ALL, tuple[User, ...], [user(i) for i in (10, 11, 12)]),
        (ALL, list[dict], "rows"),
        (ALL, list, "rows"),
        (ALL, MISSING, "rows"),
        (ALL, list[dict[str, Any]], "rows"),
        ("select age from users where age > #{age} order by id", list[int], [100, 110, 120]),
        (ALL, list[int], TypeError),  # several columns into int(**row)
        (ALL, User, f"please check return type: {User}, should set list ..."),
        (ALL, dict, "please check return type: <class 'dict'>, should set list ..."),
        (ALL, typing.Dict[str, int], "please check return type: <class 'dict'>, should set list ..."),
        (ALL, int, "please check return type: <class 'int'>, should set list ..."),
    ],
)
def test_select_list_conversions(db, sql, returns, expected):
    find = bind(select_list, sql, returns, "age")
    if expected is TypeError or isinstance(expected, str) and expected != "rows":
        with pytest.raises(TypeError, match=None if expected is TypeError else f"^{re.escape(expected)}$"):
            find(95)
        return
    got = find(95)
    if expected == "rows":
        assert got == [{"id": i, "name": f"u{i}", "age": 10 * i, "note": None} for i in (10, 11, 12)]
    else:
        assert shape(got) == expected
    assert find(1000) == []  # empty result, returned as it is


def test_select_page(db):
    class Dao:
        @select_page("select id, name, age, note from users where age > #{age} order by id")
        def adults(self, age: int, page: Page) -> list[User]: ...

        @select_page("select id, name from users order by id")
        def everyone(self, page: Page = None) -> list[dict]: ...

    dao = Dao()
    first = dao.everyone()  # no page given: page 1 of 10
    assert (first["pageNum"], first["pageSize"], first["total"], len(first["list"])) == (1, 10, 12, 10)
    assert first["list"][0] == {"id": 1, "name": "u1"}
    by_pos, by_kw = dao.adults(50, Page(2, 3)), dao.adults(page=Page(3, 3), age=50)
    assert (by_pos["total"], by_pos["pageNum"], by_pos["pageSize"]) == (7, 2, 3)
    assert by_pos["list"] == [user(i) for i in (9, 10, 11)] and by_kw["list"] == [user(12)]
    assert dao.adults(50)["list"] == [user(i) for i in range(6, 13)]  # Page-annotated parameter left out
    bad = bind(select_page, "select id from users", User, "")
    with pytest.raises(TypeError, match="^please check return type: .*User'>, should set list ...$"):
        bad()


def test_writes_return_what_the_session_returns(db):
    class Dao:
        @insert("insert into users (name, age) values (#{name}, #{age})" + returning_id(db))
        def add(self, name: str, age: int) -> int: ...

        @update("update users set note = #{note} where age >= #{age}")
        def annotate(self, note, age): ...

        @delete("delete from users where age > #{age}")
        def drop_older(self, age): ...

        @insert_list("insert into users (name, age) values (:name, :age)")
        def add_all(self, data: list, ignored=None): ...

        @insert_list("insert into users (name, age) values (:name, :age)")
        def no_data(self, rows): ...

    dao = Dao()
    assert dao.add("new", 5) == 13 and dao.add(age=6, name="newer") == 14
    assert dao.annotate("old", 100) == 3
    with db.connect() as c:
        assert c.exec_driver_sql("SELECT id FROM users WHERE note = 'old' ORDER BY id").scalars().all() == [10, 11, 12]
    data = [{"name": "x", "age": 1}, {"name": "y", "age": 2}]
    assert dao.add_all(data) is None and data == [{"name": "x", "age": 1}, {"name": "y", "age": 2}]
    assert count_rows(db) == 16  # every statement outside a transaction is committed on its own
    assert dao.drop_older(90) == 3 and count_rows(db) == 13
    with pytest.raises(KeyError, match="'data'"):
        dao.no_data(data)


def test_methods_of_a_transactional_class_roll_back_together(db):
    @datasource("main", transactional=True)
    class Service:
        @insert("insert into users (name, age) values (#{name}, #{age})")
        def add(self, name, age): ...

        @select_one("select count(*) from users")
        def count(self) -> int: ...

        def add_two(self, fail):
            self.add("a", 1)
            self.add(name="b", age=2)
            seen = (self.count(), count_rows(db))  # inside: both rows; outside: not yet committed
            if fail:
                raise RuntimeError(seen)
            return seen

    with pytest.raises(RuntimeError) as err:
        Service().add_two(True)
    assert err.value.args[0] == (14, 12) and count_rows(db) == 12
    assert Service().add_two(False) == (14, 12) and count_rows(db) == 14


def test_statements_follow_the_current_datasource(fresh_config, tmp_path):
    ZorvaneConfig(DBConfig(primary="a", **{n: {"db_type": "sqlite", "sqlite_path": str(tmp_path / f"{n}.db")}
                                           for n in "ab"}))
    for name, rows in (("a", 1), ("b", 2)):
        engine = ZorvaneConfig.datasource[name]["db"]
        create_user_table(engine)
        with engine.begin() as c:
            c.exec_driver_sql("INSERT INTO users (name, age) VALUES " + ",".join(["('x', 1)"] * rows))

    @select_one("select count(*) from users")
    def count() -> int: ...

    assert count() == 1
    with switch_datasource("b"):
        assert count() == 2
        session, stmt, values = _prepare_sql("select #{v}", {"v": 7})
        assert session is ZorvaneConfig.datasource["b"]["kelvor"]
        assert (str(stmt), values) == ("select :v", {"v": 7})

    async def in_task(name):
        with switch_datasource(name):
            await asyncio.sleep(0.01)
            return count()

    async def main():
        return await asyncio.gather(in_task("b"), in_task("a"))

    assert asyncio.run(main()) == [2, 1]
    token = datasource_context.set("nope")
    try:
        with pytest.raises(KeyError, match="nope"):
            count()
    finally:
        datasource_context.reset(token)


def test_without_configuration(fresh_config):
    with pytest.raises(TypeError):
        bind(select_one, "select 1")()


def test_plans_are_made_once_and_string_annotations_resolve(db, monkeypatch):
    calls = {"hints": 0, "signature": 0}
    real_hints, real_signature = typing_extensions.get_type_hints, __import__("inspect").signature

    def counting_hints(*a, **k):
        calls["hints"] += 1
        return real_hints(*a, **k)

    def counting_signature(*a, **k):
        calls["signature"] += 1
        return real_signature(*a, **k)

    monkeypatch.setattr(typing_extensions, "get_type_hints", counting_hints)
    monkeypatch.setattr("inspect.signature", counting_signature)

    class Dao:
        @select_list(ALL)
        def adults(self, age: "int") -> "list[User]": ...

    dao = Dao()
    results = [dao.adults(100), dao.adults(age=110), Dao.adults(dao, 0)]
    assert results[0] == [user(11), user(12)] and results[1] == [user(12)] and len(results[2]) == 12
    # one signature read; hints read once for the string parameter annotation and once for the return type
    assert calls == {"hints": 2, "signature": 1}
    Dao.adults.__wrapped__.__annotations__ = {"return": list[dict]}
    assert dao.adults(110) == [user(12)]  # the plan stays as made at the first call
