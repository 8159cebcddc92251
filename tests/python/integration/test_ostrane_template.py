"""SqlTemplate on real SQLite files and MariaDB: results and the session rules."""
import pytest
import sqlalchemy as sa
from sqlalchemy import exc
from sqlalchemy.orm import Session

from conftest import count_rows, create_user_table, returning_id
from zorvane.db.ostrane import SqlTemplate
from zorvane.mapper.vantrel import ParseMapper

INSERT = sa.text("INSERT INTO users (name, age) VALUES (:name, :age)")


@pytest.fixture
def tpl(engine):
    create_user_table(engine)
    return SqlTemplate(engine)


def add_rows(tpl, n):
    tpl.insert_list(INSERT, args=[{"name": f"u{i}", "age": 10 + i} for i in range(n)])


def test_user_example_end_to_end(tpl):
    add_rows(tpl, 3)
    stmt, values = ParseMapper.to_prepared_statement(
        "select name, age from users where age > #{age} and name <> #{name} order by id", {"age": 10}
    )
    assert tpl.select_list(stmt, args=values) == []  # name <> NULL matches nothing
    stmt, values = ParseMapper.to_prepared_statement("select name, age from users where age > #{age} order by id", {"age": 10})
    assert tpl.select_list(stmt, args=values) == [{"name": "u1", "age": 11}, {"name": "u2", "age": 12}]


def test_insert_returns_the_new_key_and_commits(tpl, engine):
    insert = sa.text(INSERT.text + returning_id(engine))
    first = tpl.insert(insert, args={"name": "a", "age": 1})
    second = tpl.insert(insert, None, {"name": "b", "age": 2})
    assert second == first + 1
    assert count_rows(engine) == 2
    assert engine.pool.checkedout() == 0


def test_insert_list_inserts_every_row_and_returns_none(tpl, engine):
    assert tpl.insert_list(INSERT, args=[{"name": f"n{i}", "age": i} for i in range(5)]) is None
    assert count_rows(engine) == 5


@pytest.mark.parametrize("op", ["update", "delete"])
def test_rowcount(tpl, op):
    add_rows(tpl, 4)
    sql = {"update": "UPDATE users SET age = 0 WHERE age >= :a", "delete": "DELETE FROM users WHERE age >= :a"}[op]
    assert getattr(tpl, op)(sa.text(sql), args={"a": 12}) == 2
    assert getattr(tpl, op)(sa.text(sql), args={"a": 99}) == 0


def test_selects(tpl):
    add_rows(tpl, 3)
    q = sa.text("SELECT id, name FROM users WHERE age >= :a ORDER BY id")
    assert tpl.select_one(q, args={"a": 11}) == {"id": 2, "name": "u1"}
    assert tpl.select_one(q, args={"a": 99}) is None
    assert tpl.select_list(q, args={"a": 11}) == [{"id": 2, "name": "u1"}, {"id": 3, "name": "u2"}]
    assert tpl.select_list(q, args={"a": 99}) == []
    assert list(tpl.select_list(q, args={"a": 12})[0]) == ["id", "name"]


def test_orm_reads(tpl):
    add_rows(tpl, 3)
    t = sa.table("users", sa.column("id"), sa.column("name"))
    assert tpl.select_one_orm1(sa.select(t.c.id, t.c.name).order_by(t.c.id)) == {"id": 1, "name": "u0"}
    assert tpl.select_one_orm1(sa.select(t.c.id).where(t.c.id > 9)) is None
    rows = tpl.select_all_orm1(sa.select(t.c.id, t.c.name).order_by(t.c.id))
    assert [tuple(r) for r in rows] == [(1, "u0"), (2, "u1"), (3, "u2")] and isinstance(rows[0], sa.Row)
    assert tpl.select_all_orm2(sa.select(t.c.name).order_by(t.c.id)) == ["u0", "u1", "u2"]
    assert tpl.select_one_orm2(sa.select(t.c.name).where(t.c.id == 2)) == "u1"
    assert tpl.select_one_orm2(sa.select(t.c.name).where(t.c.id == 9)) is None


def test_orm_writes(tpl, engine):
    t = sa.table("users", sa.column("id"), sa.column("name"), sa.column("age"))
    res = tpl.insert_orm2(sa.insert(t), [{"name": "x", "age": 1}, {"name": "y", "age": 2}])
    assert isinstance(res, sa.Result) and count_rows(engine) == 2
    assert tpl.update_orm2(sa.update(t).where(t.c.age > 0).values(age=5)) == 2
    assert tpl.update_orm2(sa.update(t).where(t.c.name == sa.bindparam("n")).values(age=7), None, {"n": "x"}) == 1
    assert tpl.delete_orm2(sa.delete(t).where(t.c.age == 7)) == 1
    assert count_rows(engine) == 1


def test_multiple_results_error_after_rollback(tpl, engine):
    add_rows(tpl, 2)
    t = sa.table("users", sa.column("id"))
    with Session(engine) as con:
        con.execute(INSERT, {"name": "pending", "age": 0})
        with pytest.raises(exc.MultipleResultsFound):
            tpl.select_one_orm2(sa.select(t.c.id), con=con)
        assert not con.in_transaction()  # rolled back, the pending row is gone
    assert count_rows(engine) == 2


def test_caller_session_is_neither_committed_nor_closed(tpl, engine):
    with Session(engine) as con:
        tpl.insert(INSERT, con, {"name": "a", "age": 1})
        assert con.in_transaction()
        assert tpl.select_one(sa.text("SELECT COUNT(*) AS n FROM users"), con) == {"n": 1}
        assert count_rows(engine) == 0  # not visible outside the caller's transaction
        con.commit()
    assert count_rows(engine) == 1


def test_error_rolls_back_caller_session_and_reaches_caller_unchanged(tpl, engine):
    with Session(engine) as con:
        tpl.insert(INSERT, con, {"name": "a", "age": 1})
        with pytest.raises(exc.DBAPIError) as info:
            tpl.update(sa.text("UPDATE no_such_table SET x = 1"), con)
        assert isinstance(info.value.orig, Exception)
        assert not con.in_transaction()
        con.commit()
    assert count_rows(engine) == 0


def test_own_session_rolls_back_on_error_and_is_closed(tpl, engine):
    stmt = sa.text("INSERT INTO users (id, name) VALUES (:id, :name)")
    with pytest.raises(exc.IntegrityError):
        tpl.insert_list(stmt, args=[{"id": 1, "name": "a"}, {"id": 1, "name": "dup"}])
    assert count_rows(engine) == 0
    assert engine.pool.checkedout() == 0


def test_add_and_add_all_flush_objects(tpl, engine):
    from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

    class Base(DeclarativeBase):
        pass

    class User(Base):
        __tablename__ = "users"
        id: Mapped[int] = mapped_column(primary_key=True)
        name: Mapped[str | None]
        age: Mapped[int | None]
        note: Mapped[str | None]

    tpl.add(User(name="a", age=1))
    tpl.add_all([User(name="b", age=2), User(name="c", age=3)])
    assert count_rows(engine) == 3
    rows = tpl.select_all_orm2(sa.select(User).order_by(User.id))
    assert [u.name for u in rows] == ["a", "b", "c"]  # still readable after the session closed
    tpl.bulk_update_mappings(User, [{"id": rows[0].id, "age": 40}])
    assert tpl.select_one_orm2(sa.select(User.age).where(User.id == rows[0].id)) == 40


def test_get_session_scope(tpl, engine):
    with tpl.get_session() as s:
        s.execute(INSERT, {"name": "a", "age": 1})
    assert count_rows(engine) == 1 and engine.pool.checkedout() == 0
    with pytest.raises(ZeroDivisionError):
        with tpl.get_session() as s:
            s.execute(INSERT, {"name": "b", "age": 2})
            1 / 0
    assert count_rows(engine) == 1 and engine.pool.checkedout() == 0
    with Session(engine) as con:
        with tpl.get_session(con) as s:
            assert s is con
            s.execute(INSERT, {"name": "c", "age": 3})
        assert con.in_transaction()
    assert count_rows(engine) == 1


@pytest.mark.parametrize("note", ["meet at  :noon, it''s  late", "«:noon» à\u00a0:x, é:y"])
def test_literal_text_reaches_database_exactly(tpl, note):
    stmt, values = ParseMapper.to_prepared_statement(
        f"INSERT INTO users (name, note) VALUES (#{{name}}, '{note}')", {"name": "n"}
    )
    tpl.insert(stmt, args=values)
    stmt, values = ParseMapper.to_prepared_statement(
        f"SELECT note FROM users WHERE note = '{note}' AND name = #{{name}}", {"name": "n"}
    )
    assert tpl.select_list(stmt, args=values) == [{"note": note.replace("''", "'")}]


def test_non_ascii_identifiers_reach_database_whole(tpl):
    # "à" and "Ġ" end in the bytes of U+00A0 and "अ" in those of U+0085.
    add_rows(tpl, 2)
    stmt, values = ParseMapper.to_prepared_statement(
        "SELECT name AS là,\u00a0age AS Ġa, id AS अ FROM users WHERE age > #{age}  ORDER BY id", {"age": 10}
    )
    assert tpl.select_list(stmt, args=values) == [{"là": "u1", "Ġa": 11, "अ": 2}]
