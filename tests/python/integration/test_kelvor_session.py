"""ZorvaneSqlSession on real SQLite files and MariaDB: nested transactions per thread and task,
forwarding to the template, and mapper statements run by kind."""
import asyncio
import dataclasses
import threading

import pytest
import sqlalchemy as sa
from sqlalchemy import event
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

from conftest import count_rows, create_user_table
from zorvane.db import ostrane
from zorvane.db.kelvor import ZorvaneSqlSession
from zorvane.db.ostrane import SqlTemplate
from zorvane.mapper.vantrel import ParseMapper

INSERT = sa.text("INSERT INTO user (name, age) VALUES (:name, :age)")
NAMES = sa.text("SELECT name FROM user ORDER BY id")


class Base(DeclarativeBase):
    pass


class UserRow(Base):
    __tablename__ = "user"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str | None]
    age: Mapped[int | None]
    note: Mapped[str | None]


@dataclasses.dataclass
class User:
    id: int
    name: str
    age: int


class StandInMapper:
    """The mapper's get_sql contract over a table id -> (SQL with #{...}, kind, result type)."""

    def __init__(self, statements):
        self.statements = statements
        self.rendered = []

    def get_sql(self, sql_id, params=None):
        text, kind, result_type = self.statements[sql_id]
        self.rendered.append(sql_id)
        stmt, values = ParseMapper.to_prepared_statement(text, params)
        return stmt, values, kind, result_type


STATEMENTS = {
    "adults": ("select id, name, age from user where age >= #{min_age} order by id", "select", User),
    "rows": ("select id, name, age from user order by id", "select", dict),
    "count": ("select count(*) as n from user where age >= #{min_age}", "select", int),
    "add": ("insert into user (name, age) values (#{name}, #{age})", "insert", dict),
    "older": ("update user set age = age + 1 where age >= #{min_age}", "update", dict),
    "drop": ("delete from user where age < #{max_age}", "delete", dict),
    "cols": ("insert into user (name, age) values ('never', 0)", "sql", dict),
    "odd": ("insert into user (name, age) values ('never', 0)", None, dict),
}


@pytest.fixture
def mapper():
    return StandInMapper(STATEMENTS)


@pytest.fixture
def session(engine, mapper):
    create_user_table(engine)
    return ZorvaneSqlSession(mapper_dict={"UserMapper": mapper}, data_source=engine)


def con(s):
    return s._ZorvaneSqlSession__con()


def names(s):
    return [r["name"] for r in s.select_list(NAMES)]


def add_users(s, n):
    s.insert_list(INSERT, [{"name": f"u{i}", "age": 10 + i} for i in range(n)])


# -- transactions --------------------------------------------------------------------------------


def test_rows_stay_invisible_until_the_outermost_commit(session, engine):
    session.begin_tx()
    outer = con(session)
    session.insert(INSERT, {"name": "a", "age": 1})
    session.begin_tx()
    session.insert(INSERT, {"name": "b", "age": 2})
    assert con(session) is outer and session._tx_depth.get() == 2
    session.commit()
    assert count_rows(engine) == 0 and names(session) == ["a", "b"]
    session.commit()
    assert count_rows(engine) == 2 and session._tx_depth.get() == 0 and con(session) is outer
    session.close()
    assert con(session) is None and engine.pool.checkedout() == 0


def test_outside_a_transaction_each_statement_commits_at_once(session, engine):
    session.insert(INSERT, {"name": "a", "age": 1})
    assert count_rows(engine) == 1 and con(session) is None


def test_rollback_at_an_inner_level_leaves_nothing(session, engine):
    session.begin_tx()
    session.insert(INSERT, {"name": "a", "age": 1})
    session.begin_tx()
    session.insert(INSERT, {"name": "b", "age": 2})
    session.rollback()
    assert session._tx_depth.get() == 0 and con(session) is not None
    session.commit()  # the transaction has ended: this commits nothing that was rolled back
    session.close()
    assert count_rows(engine) == 0 and con(session) is None and engine.pool.checkedout() == 0


@pytest.fixture
def events():
    seen = {"commit": 0, "rollback": 0}

    def on_commit(_):
        seen["commit"] += 1

    def on_rollback(*_):
        seen["rollback"] += 1

    event.listen(Session, "after_commit", on_commit)
    event.listen(Session, "after_soft_rollback", on_rollback)
    yield seen
    event.remove(Session, "after_commit", on_commit)
    event.remove(Session, "after_soft_rollback", on_rollback)


# Each step: (operation, depth after it, transaction session still stored, commits so far,
# rollbacks so far); then the state of an ORM object added right after the first begin_tx.
SEQUENCES = {
    "begin begin commit commit close": ([
        ("begin_tx", 1, True, 0, 0), ("begin_tx", 2, True, 0, 0), ("commit", 1, True, 0, 0),
        ("commit", 0, True, 1, 0), ("close", 0, False, 1, 0)], "detached"),
    "begin begin rollback close": ([
        ("begin_tx", 1, True, 0, 0), ("begin_tx", 2, True, 0, 0), ("rollback", 0, True, 0, 1),
        ("close", 0, False, 0, 1)], "transient"),
    "close at depth 2 does nothing": ([
        ("begin_tx", 1, True, 0, 0), ("begin_tx", 2, True, 0, 0), ("close", 2, True, 0, 0),
        ("close", 2, True, 0, 0)], "persistent"),
    "begin again after the end": ([
        ("begin_tx", 1, True, 0, 0), ("commit", 0, True, 1, 0), ("begin_tx", 1, False, 1, 0)], "persistent"),
    "commit without begin": ([("commit", 0, False, 0, 0), ("close", 0, False, 0, 0)], "transient"),
    "rollback without begin": ([("rollback", 0, False, 0, 0)], "transient"),
    "close without begin": ([("close", 0, False, 0, 0)], "transient"),
}


@pytest.mark.parametrize("steps, final", SEQUENCES.values(), ids=SEQUENCES.keys())
def test_state_table(session, engine, events, steps, final):
    first = None
    obj = UserRow(name="x", age=1)
    for op, depth, stored, commits, rollbacks in steps:
        getattr(session, op)()
        if op == "begin_tx" and first is None:
            first = con(session)
            session.add(obj)  # flushed into the transaction session
        assert session._tx_depth.get() == depth, op
        assert (first is not None and con(session) is first) == stored, op
        assert (events["commit"], events["rollback"]) == (commits, rollbacks), op
    assert getattr(sa.inspect(obj), final)
    session.rollback(), session.close()
    if first is not None:
        first.close()
    assert engine.pool.checkedout() == 0


def test_database_error_inside_a_transaction_keeps_depth_and_session(session, engine):
    session.begin_tx()
    session.begin_tx()
    s = con(session)
    with pytest.raises(sa.exc.DBAPIError):
        session.select_list(sa.text("SELECT * FROM no_such_table"))
    assert session._tx_depth.get() == 2 and con(session) is s
    session.rollback(), session.close()
    assert engine.pool.checkedout() == 0


def actor(session, row, writes_first):
    """One side of two concurrent transactions; yields at each meeting point with the other side."""
    seen = {}
    session.begin_tx()
    seen["first"] = con(session)
    if writes_first:
        session.insert(INSERT, {"name": row, "age": 1})
    yield
    seen["early"] = names(session)
    yield
    if writes_first:
        session.commit(), session.close()
        session.begin_tx()
        seen["second"] = con(session)
    yield
    if not writes_first:
        session.insert(INSERT, {"name": row, "age": 2})
    yield
    seen["late"] = names(session)
    yield
    if writes_first:
        session.commit()
    else:
        session.rollback()
    session.close()
    seen["end"] = con(session)
    return seen


def run_in_threads(session):
    out, errors = {}, []
    barrier = threading.Barrier(2, timeout=30)

    def run(name, writes_first):
        try:
            gen = actor(session, name, writes_first)
            while True:
                try:
                    next(gen)
                except StopIteration as stop:
                    out[name] = stop.value
                    return
                barrier.wait()
        except Exception as e:  # noqa: reported below
            errors.append(e)
            barrier.abort()

    threads = [threading.Thread(target=run, args=(n, w)) for n, w in (("a", True), ("b", False))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return out


def run_in_tasks(session):
    async def main():
        barrier = asyncio.Barrier(2)
        out = {}

        async def run(name, writes_first):
            gen = actor(session, name, writes_first)
            while True:
                try:
                    next(gen)
                except StopIteration as stop:
                    out[name] = stop.value
                    return
                await barrier.wait()

        await asyncio.gather(run("a", True), run("b", False))
        return out

    return asyncio.run(main())


@pytest.mark.parametrize("runner", [run_in_threads, run_in_tasks], ids=["threads", "tasks"])
def test_concurrent_contexts_have_their_own_transactions(session, engine, runner):
    out = runner(session)
    a, b = out["a"], out["b"]
    assert len({id(a["first"]), id(a["second"]), id(b["first"])}) == 3
    assert all(isinstance(s, Session) for s in (a["first"], a["second"], b["first"]))
    assert a["early"] == ["a"] and b["early"] == []  # b never sees a's uncommitted row
    assert "b" not in a["late"] and "b" in b["late"]  # nor a b's
    assert a["end"] is None and b["end"] is None and con(session) is None
    assert count_rows(engine) == 1 and engine.pool.checkedout() == 0


def test_a_task_started_inside_a_transaction_works_on_a_copy(session, engine):
    async def child(parent_session):
        assert con(session) is parent_session and session._tx_depth.get() == 1
        session.begin_tx()
        session.insert(INSERT, {"name": "child", "age": 2})
        session.commit()
        session.close()  # depth 1 in this task: nothing happens
        return session._tx_depth.get(), con(session)

    async def parent():
        session.begin_tx()
        session.insert(INSERT, {"name": "parent", "age": 1})
        depth, seen = await asyncio.create_task(child(con(session)))
        assert (depth, seen) == (1, con(session)) and session._tx_depth.get() == 1
        assert count_rows(engine) == 0
        session.commit(), session.close()

    asyncio.run(parent())
    assert count_rows(engine) == 2


# -- forwarding ----------------------------------------------------------------------------------


class RecordingTemplate:
    """A user-supplied template: records how it is called, then runs the real one."""

    def __init__(self, engine):
        self.inner = SqlTemplate(engine)
        self.data_source = engine
        self.calls = []

    def __getattr__(self, name):
        fn = getattr(self.inner, name)

        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return fn(*args, **kwargs)

        return call


CON = object()  # stands for the transaction session in the expected calls
T = sa.table("user", sa.column("id"), sa.column("name"), sa.column("age"))
UPDATE = sa.text("UPDATE user SET age = age + 1 WHERE age >= :a")

FORWARDS = [
    ("select_one", (NAMES,), {"sql": NAMES, "con": CON, "args": None}, (), {"name": "u0"}),
    ("select_list", (NAMES, None), {"sql": NAMES, "con": CON, "args": None}, (), [{"name": "u0"}, {"name": "u1"}]),
    ("insert", (INSERT, {"name": "z", "age": 5}), {"sql": INSERT, "con": CON, "args": {"name": "z", "age": 5}}, (), 3),
    ("insert_list", (INSERT, [{"name": "z", "age": 5}]), {"sql": INSERT, "con": CON, "args": [{"name": "z", "age": 5}]},
     (), None),
    ("update", (UPDATE, {"a": 11}), {"sql": UPDATE, "con": CON, "args": {"a": 11}}, (), 1),
    ("delete", (sa.text("DELETE FROM user"), None), {"sql": "*", "con": CON, "args": None}, (), 2),
    ("select_all_orm2", (sa.select(T.c.name).order_by(T.c.id),), {"con": CON}, ("*",), ["u0", "u1"]),
    ("select_one_orm1", (sa.select(T.c.name).order_by(T.c.id),), {"con": CON}, ("*",), {"name": "u0"}),
    ("select_one_orm2", (sa.select(T.c.name).where(T.c.id == 2),), {"con": CON}, ("*",), "u1"),
    ("delete_orm2", (sa.delete(T).where(T.c.id == 1),), {"con": CON}, ("*",), 1),
    ("update_orm2", (sa.update(T).values(age=0),), {"con": CON, "sql_param": None}, ("*",), 2),
    ("bulk_update_mappings", (UserRow, [{"id": 1, "age": 0}]), {"con": CON}, (UserRow, [{"id": 1, "age": 0}]), None),
    ("add", lambda: (UserRow(name="z"),), {"data": "*", "con": CON}, (), None),
    ("add_all", lambda: ([UserRow(name="z")],), {"data": "*", "con": CON}, (), None),
]


@pytest.mark.parametrize("in_tx", [False, True], ids=["no-tx", "tx"])
@pytest.mark.parametrize("op, args, kwargs, positional, result", FORWARDS, ids=[f[0] for f in FORWARDS])
def test_forwarding_calls_the_template_with_the_transaction_session(engine, op, args, kwargs, positional, result, in_tx):
    create_user_table(engine)
    tpl = RecordingTemplate(engine)
    s = ZorvaneSqlSession(mapper_dict={}, ostrane=tpl)
    add_users(s, 2)
    tpl.calls.clear()
    if in_tx:
        s.begin_tx()
    before = count_rows(engine)
    got = getattr(s, op)(*(args() if callable(args) else args))
    expected_con = con(s) if in_tx else None
    [(name, pos, kw)] = tpl.calls
    assert name == op and len(pos) == len(positional) and kw.keys() == kwargs.keys()
    assert kw["con"] is expected_con
    for want, have in list(zip(positional, pos)) + [(kwargs[k], kw[k]) for k in kwargs if k != "con"]:
        assert want == "*" or want is have or want == have
    assert got == result
    if in_tx and op not in ("select_one", "select_list", "select_all_orm2", "select_one_orm1", "select_one_orm2"):
        assert count_rows(engine) == before  # the write waits for the outer commit
        s.rollback()
        assert count_rows(engine) == before
    s.rollback(), s.close()
    assert engine.pool.checkedout() == 0


@pytest.mark.parametrize(
    "op, args, arg, got",
    [
        ("update_orm2", (sa.update(T).values(age=0), [{"age": 1}]), "sql_param", "list"),
        ("bulk_update_mappings", (UserRow, {"id": 1}), "data_list", "dict"),
        ("insert_orm2", (sa.insert(T), ({"name": "x"},)), "data_list", "tuple"),
    ],
    ids=["update_orm2", "bulk_update_mappings", "insert_orm2"],
)
def test_checked_orm_arguments(engine, op, args, arg, got):
    tpl = RecordingTemplate(engine)
    s = ZorvaneSqlSession(mapper_dict={}, ostrane=tpl)
    with pytest.raises(TypeError) as e:
        getattr(s, op)(*args)
    assert str(e.value) == f"Argument '{arg}' has incorrect type (expected {'dict' if arg == 'sql_param' else 'list'}, got {got})"
    assert tpl.calls == []


def test_insert_orm2_returns_the_result_and_takes_none(session, engine):
    res = session.insert_orm2(sa.insert(T), [{"name": "x", "age": 1}, {"name": "y", "age": 2}])
    assert isinstance(res, sa.Result) and count_rows(engine) == 2
    session.insert_orm2(sa.insert(T).values(name="z", age=3), None)
    assert count_rows(engine) == 3


# -- execute_sql ---------------------------------------------------------------------------------


def test_execute_sql_by_kind(session, engine):
    add_users(session, 4)  # ages 10..13
    run = session.execute_sql
    assert run("adults", "UserMapper", {"min_age": 12}, return_type=list[User]) == [User(3, "u2", 12), User(4, "u3", 13)]
    assert run("adults", namespace="UserMapper", ori_params={"min_age": 99}) == []
    assert run("rows", "UserMapper")[0] == {"id": 1, "name": "u0", "age": 10}
    assert run("count", "UserMapper", {"min_age": 11}, return_type=int) == 3
    key = run("add", "UserMapper", {"name": "new", "age": 30})
    assert key == 5 and count_rows(engine) == 5
    assert run("older", "UserMapper", {"min_age": 12}) == 3
    assert run("drop", "UserMapper", {"max_age": 12}) == 2
    assert names(session) == ["u2", "u3", "new"]


@pytest.mark.parametrize("sql_id", ["cols", "odd"])
def test_execute_sql_of_other_kinds_runs_nothing(session, engine, mapper, sql_id):
    assert session.execute_sql(sql_id, "UserMapper", {}) is None
    assert mapper.rendered == [sql_id] and count_rows(engine) == 0


def test_execute_sql_inside_a_transaction_uses_its_session(session, engine):
    session.begin_tx()
    session.execute_sql("add", "UserMapper", {"name": "t", "age": 50})
    assert count_rows(engine) == 0
    assert session.execute_sql("adults", "UserMapper", {"min_age": 1}, return_type=User) == User(1, "t", 50)
    session.commit(), session.close()
    assert count_rows(engine) == 1


@pytest.mark.parametrize("namespace", ["Nope", None])
def test_execute_sql_unknown_namespace_fails_before_rendering(session, mapper, namespace):
    with pytest.raises(Exception) as e:
        session.execute_sql("adults", namespace, {"min_age": 1})
    assert type(e.value) is Exception and str(e.value) == f"not found namespace: {namespace}"
    assert mapper.rendered == []


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, arg, expected, got",
    [
        ((None, "UserMapper"), "sql_id", "str", "NoneType"),
        ((Text("adults"), "UserMapper"), "sql_id", "str", "Text"),
        (("adults", 1), "namespace", "str", "int"),
        (("adults", "UserMapper", [("min_age", 1)]), "ori_params", "dict", "list"),
        (("adults", "Nope", [("min_age", 1)]), "ori_params", "dict", "list"),
    ],
    ids=["sql_id-none", "sql_id-subclass", "namespace", "ori_params", "checks-before-lookup"],
)
def test_execute_sql_argument_checks(session, mapper, args, arg, expected, got):
    with pytest.raises(TypeError) as e:
        session.execute_sql(*args)
    assert str(e.value) == f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"
    assert mapper.rendered == []


@pytest.mark.parametrize("bad", [(1, 2, 3), (1, 2, 3, 4, 5)], ids=["three", "five"])
def test_execute_sql_needs_four_values_from_get_sql(engine, bad):
    class Short:
        def get_sql(self, sql_id, params):
            return iter(bad)

    s = ZorvaneSqlSession(mapper_dict={"M": Short()}, data_source=engine)
    with pytest.raises(ValueError, match="values to unpack"):
        s.execute_sql("x", "M")


class PageRequest:
    def __init__(self, page_num, page_size):
        self.pageNum, self.pageSize = page_num, page_size


class PagingTemplate(SqlTemplate):
    """A user template that pages with plain count and limit statements."""

    def select_page(self, sql, page, con=None, args=None):
        with self.get_session(con) as s:
            total = s.execute(sa.text(f"select count(*) from ({sql.text}) t"), args).scalar()
            window = {**(args or {}), "page_size": page.pageSize, "page_offset": (page.pageNum - 1) * page.pageSize}
            rows = s.execute(sa.text(sql.text + " limit :page_size offset :page_offset"), window).all()
            return {"pageNum": page.pageNum, "pageSize": page.pageSize, "total": total, "list": [r._asdict() for r in rows]}


def check_paged(s, engine):
    s.insert_list(INSERT, [{"name": f"p{i}", "age": i} for i in range(25)])
    page = getattr(ostrane, "Page", PageRequest)(2, 10)
    got = s.execute_sql("adults", "UserMapper", {"min_age": 3}, page=page, return_type=list[User])
    assert list(got) == ["pageNum", "pageSize", "total", "list"]
    assert (got["pageNum"], got["pageSize"], got["total"]) == (2, 10, 22)
    assert got["list"] == [User(i + 1, f"p{i}", i) for i in range(13, 23)]
    s.begin_tx()  # paging inside a transaction sees its uncommitted rows
    s.insert(INSERT, {"name": "late", "age": 99})
    assert s.execute_sql("adults", "UserMapper", {"min_age": 3}, page=getattr(ostrane, "Page", PageRequest)(3, 10))[
        "total"] == 23
    s.rollback(), s.close()
    assert count_rows(engine) == 25


@pytest.mark.skipif(not hasattr(SqlTemplate, "select_page"), reason="SqlTemplate has no select_page yet")
def test_execute_sql_with_a_page(session, engine):
    check_paged(session, engine)


@pytest.mark.skipif(hasattr(SqlTemplate, "select_page"), reason="the real select_page is tested instead")
def test_execute_sql_with_a_page_through_a_user_template(engine, mapper):
    create_user_table(engine)
    check_paged(ZorvaneSqlSession(mapper_dict={"UserMapper": mapper}, ostrane=PagingTemplate(engine)), engine)
