"""ZorvaneSqlSession on real SQLite files and MariaDB: nested transactions per thread and task,
forwarding to the template, and mapper statements run by kind."""
import asyncio
import dataclasses
import threading

import pytest
import sqlalchemy as sa
from sqlalchemy import event
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

from conftest import count_rows, create_user_table, returning_id
from zorvane.db import ostrane
from zorvane.db.kelvor import ZorvaneSqlSession
from zorvane.db.ostrane import SqlTemplate
from zorvane.mapper.vantrel import ParseMapper

INSERT = sa.text("INSERT INTO users (name, age) VALUES (:name, :age)")
NAMES = sa.text("SELECT name FROM users ORDER BY id")


class Base(DeclarativeBase):
    pass


class UserRow(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str | None]
    age: Mapped[int | None]


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
    "adults": ("select id, name, age from users where age >= #{min_age} order by id", "select", User),
    "rows": ("select id, name, age from users order by id", "select", dict),
    "count": ("select count(*) as n from users where age >= #{min_age}", "select", int),
    "add": ("insert into users (name, age) values (#{name}, #{age})", "insert", dict),
    "older": ("update users set age = age + 1 where age >= #{min_age}", "update", dict),
    "drop": ("delete from users where age < #{max_age}", "delete", dict),
    "cols": ("insert into users (name, age) values ('never', 0)", "sql", dict),
    "odd": ("insert into users (name, age) values ('never', 0)", None, dict),
}


@pytest.fixture
def mapper(engine):
    add, kind, result = STATEMENTS["add"]
    return StandInMapper({**STATEMENTS, "add": (add + returning_id(engine), kind, result)})


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


@pytest.mark.parametrize("inner_end, kept", [("commit", 2), ("rollback", 0)])
def test_rows_become_visible_only_at_the_outermost_commit(session, engine, inner_end, kept):
    session.insert(INSERT, {"name": "auto", "age": 0})  # outside a transaction: committed at once
    assert count_rows(engine) == 1
    session.begin_tx()
    outer = con(session)
    session.insert(INSERT, {"name": "a", "age": 1})
    session.begin_tx()
    session.insert(INSERT, {"name": "b", "age": 2})
    assert con(session) is outer and names(session) == ["auto", "a", "b"]
    getattr(session, inner_end)()
    assert count_rows(engine) == 1
    session.commit()  # after an inner rollback the transaction has ended: nothing left to commit
    assert count_rows(engine) == 1 + kept and con(session) is outer
    session.close()
    assert con(session) is None and engine.pool.checkedout() == 0


@pytest.fixture
def events():
    seen = {"after_commit": 0, "after_soft_rollback": 0}
    hooks = {name: (lambda n: lambda *_: seen.__setitem__(n, seen[n] + 1))(name) for name in seen}
    for name, fn in hooks.items():
        event.listen(Session, name, fn)
    yield seen
    for name, fn in hooks.items():
        event.remove(Session, name, fn)


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
        assert tuple(events.values()) == (commits, rollbacks), op
    assert getattr(sa.inspect(obj), final)
    session.rollback(), session.close()
    if first is not None:
        first.close()
    assert engine.pool.checkedout() == 0


def actor(session, row, writes_first, seen):
    """One side of two concurrent transactions; yields at each meeting point with the other side."""
    session.begin_tx()
    seen["first"] = con(session)
    if writes_first:
        session.insert(INSERT, {"name": row, "age": 1})
    yield
    seen["early"] = names(session)
    yield
    if writes_first:  # end and start again, so that the other side writes while this one is open
        session.commit(), session.close()
        session.begin_tx()
        seen["second"] = con(session)
    yield
    if not writes_first:
        session.insert(INSERT, {"name": row, "age": 2})
    yield
    seen["late"] = names(session)
    yield
    session.commit() if writes_first else session.rollback()
    session.close()
    seen["end"] = con(session)


def run_in_threads(session, plan):
    barrier, errors = threading.Barrier(2, timeout=30), []

    def run(*args):
        try:
            for _ in actor(session, *args):
                barrier.wait()
        except Exception as e:  # reported below
            errors.append(e)
            barrier.abort()

    threads = [threading.Thread(target=run, args=args) for args in plan]
    [t.start() for t in threads], [t.join() for t in threads]
    assert not errors, errors


def run_in_tasks(session, plan):
    async def main():
        barrier = asyncio.Barrier(2)

        async def run(*args):
            for _ in actor(session, *args):
                await barrier.wait()

        await asyncio.gather(*(run(*args) for args in plan))

    asyncio.run(main())


@pytest.mark.parametrize("runner", [run_in_threads, run_in_tasks], ids=["threads", "tasks"])
def test_concurrent_contexts_have_their_own_transactions(session, engine, runner):
    a, b = {}, {}
    runner(session, [("a", True, a), ("b", False, b)])
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
        self.inner, self.data_source, self.calls = SqlTemplate(engine), engine, []

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, len(args), sorted(kwargs), kwargs.get("con")))
            return getattr(self.inner, name)(*args, **kwargs)

        return call


T = sa.table("users", sa.column("id"), sa.column("name"), sa.column("age"))
FORWARDS = [  # operation, its arguments, then how the template is called: positional count, keyword names
    ("select_one", lambda: (NAMES,), 0, ["args", "con", "sql"]),
    ("select_list", lambda: (NAMES, None), 0, ["args", "con", "sql"]),
    ("insert", lambda: (INSERT, {"name": "z", "age": 5}), 0, ["args", "con", "sql"]),
    ("insert_list", lambda: (INSERT, [{"name": "z", "age": 5}]), 0, ["args", "con", "sql"]),
    ("update", lambda: (sa.text("UPDATE users SET age = 0"), None), 0, ["args", "con", "sql"]),
    ("delete", lambda: (sa.text("DELETE FROM users"), None), 0, ["args", "con", "sql"]),
    ("select_all_orm1", lambda: (sa.select(T.c.name),), 1, ["con"]),
    ("select_all_orm2", lambda: (sa.select(T.c.name),), 1, ["con"]),
    ("select_one_orm1", lambda: (sa.select(T.c.name),), 1, ["con"]),
    ("select_one_orm2", lambda: (sa.select(T.c.name).where(T.c.id == 2),), 1, ["con"]),
    ("delete_orm2", lambda: (sa.delete(T).where(T.c.id == 1),), 1, ["con"]),
    ("update_orm2", lambda: (sa.update(T).values(age=0),), 1, ["con", "sql_param"]),
    ("insert_orm2", lambda: (sa.insert(T), [{"name": "x"}]), 2, ["con"]),
    ("bulk_update_mappings", lambda: (UserRow, [{"id": 1, "age": 0}]), 2, ["con"]),
    ("add", lambda: (UserRow(name="z"),), 0, ["con", "data"]),
    ("add_all", lambda: ([UserRow(name="z")],), 0, ["con", "data"]),
]


@pytest.mark.parametrize("op, args, positional, keywords", FORWARDS, ids=[f[0] for f in FORWARDS])
def test_forwarding_runs_in_the_transaction_session(engine, op, args, positional, keywords):
    create_user_table(engine)
    tpl = RecordingTemplate(engine)
    s = ZorvaneSqlSession(mapper_dict={}, ostrane=tpl)
    add_users(s, 2)
    assert tpl.calls == [("insert_list", 0, ["args", "con", "sql"], None)]
    s.begin_tx()
    getattr(s, op)(*args())
    assert tpl.calls[1:] == [(op, positional, keywords, con(s))]
    s.rollback(), s.close()
    assert names(s) == ["u0", "u1"] and engine.pool.checkedout() == 0  # nothing was committed


@pytest.mark.parametrize(
    "op, args, arg, expected, got",
    [("update_orm2", (T, [{"age": 1}]), "sql_param", "dict", "list"),
     ("bulk_update_mappings", (UserRow, {"id": 1}), "data_list", "list", "dict"),
     ("insert_orm2", (T, ({"name": "x"},)), "data_list", "list", "tuple")],
    ids=["update_orm2", "bulk_update_mappings", "insert_orm2"],
)
def test_checked_orm_arguments(sqlite_engine, op, args, arg, expected, got):
    tpl = RecordingTemplate(sqlite_engine)
    with pytest.raises(TypeError) as e:
        getattr(ZorvaneSqlSession(mapper_dict={}, ostrane=tpl), op)(*args)
    assert str(e.value) == f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"
    assert tpl.calls == []


# -- execute_sql ---------------------------------------------------------------------------------


def test_execute_sql_by_kind(session, engine, mapper):
    add_users(session, 4)  # ages 10..13
    run = session.execute_sql
    assert run("adults", "UserMapper", {"min_age": 12}, return_type=list[User]) == [User(3, "u2", 12), User(4, "u3", 13)]
    assert run("adults", namespace="UserMapper", ori_params={"min_age": 99}) == []
    assert run("rows", "UserMapper")[0] == {"id": 1, "name": "u0", "age": 10}
    assert run("count", "UserMapper", {"min_age": 11}, return_type=int) == 3
    assert run("add", "UserMapper", {"name": "new", "age": 30}) == 5 and count_rows(engine) == 5
    assert run("older", "UserMapper", {"min_age": 12}) == 3
    assert run("drop", "UserMapper", {"max_age": 12}) == 2
    assert run("cols", "UserMapper", {}) is None and run("odd", "UserMapper") is None  # rendered, never run
    assert names(session) == ["u2", "u3", "new"] and mapper.rendered[-2:] == ["cols", "odd"]
    session.begin_tx()
    run("add", "UserMapper", {"name": "t", "age": 50})
    assert count_rows(engine) == 3
    assert run("adults", "UserMapper", {"min_age": 50}, return_type=User) == User(6, "t", 50)
    session.commit(), session.close()
    assert count_rows(engine) == 4


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, error, msg",
    [
        (("adults", "Nope", {}), Exception, "not found namespace: Nope"),
        (("adults", None, {}), Exception, "not found namespace: None"),
        ((None, "UserMapper"), TypeError, "Argument 'sql_id' has incorrect type (expected str, got NoneType)"),
        ((Text("adults"), "UserMapper"), TypeError, "Argument 'sql_id' has incorrect type (expected str, got Text)"),
        (("adults", 1), TypeError, "Argument 'namespace' has incorrect type (expected str, got int)"),
        (("adults", "Nope", [("a", 1)]), TypeError, "Argument 'ori_params' has incorrect type (expected dict, got list)"),
    ],
    ids=["namespace", "namespace-none", "sql_id-none", "sql_id-subclass", "namespace-int", "ori_params"],
)
def test_execute_sql_fails_before_rendering(session, mapper, args, error, msg):
    with pytest.raises(Exception) as e:
        session.execute_sql(*args)
    assert type(e.value) is error and str(e.value) == msg
    assert mapper.rendered == []


class PagingTemplate(SqlTemplate):
    """A user template that pages with plain count and limit statements."""

    def select_page(self, sql, page, con=None, args=None):
        with self.get_session(con) as s:
            total = s.execute(sa.text(f"select count(*) from ({sql.text}) t"), args).scalar()
            window = {**(args or {}), "page_size": page.pageSize, "page_offset": (page.pageNum - 1) * page.pageSize}
            rows = s.execute(sa.text(sql.text + " limit :page_size offset :page_offset"), window).all()
            return {"pageNum": page.pageNum, "pageSize": page.pageSize, "total": total, "list": [r._asdict() for r in rows]}


Page = ostrane.Page


def check_paged(s, engine):
    s.insert_list(INSERT, [{"name": f"p{i}", "age": i} for i in range(25)])
    got = s.execute_sql("adults", "UserMapper", {"min_age": 3}, page=Page(2, 10), return_type=list[User])
    assert list(got) == ["pageNum", "pageSize", "total", "list"]
    assert (got["pageNum"], got["pageSize"], got["total"]) == (2, 10, 22)
    assert got["list"] == [User(i + 1, f"p{i}", i) for i in range(13, 23)]
    s.begin_tx()  # paging inside a transaction sees its uncommitted rows
    s.insert(INSERT, {"name": "late", "age": 99})
    assert s.execute_sql("adults", "UserMapper", {"min_age": 3}, page=Page(3, 10))["total"] == 23
    s.rollback(), s.close()
    assert count_rows(engine) == 25


def test_execute_sql_with_a_page(session, engine):
    check_paged(session, engine)


def test_execute_sql_with_a_page_through_a_user_template(engine, mapper):
    create_user_table(engine)
    check_paged(ZorvaneSqlSession(mapper_dict={"UserMapper": mapper}, ostrane=PagingTemplate(engine)), engine)
