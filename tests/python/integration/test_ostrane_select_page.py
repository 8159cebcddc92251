"""SqlTemplate.select_page on real SQLite files and MariaDB: totals, pages and the session rule."""
import pytest
import sqlalchemy as sa
from sqlalchemy import exc
from sqlalchemy.orm import Session

from conftest import count_rows, create_user_table
from zorvane.db.ostrane import Page, PageInfo, SqlTemplate
from zorvane.mapper.vantrel import ParseMapper

INSERT = sa.text("INSERT INTO users (name, age, note) VALUES (:name, :age, :note)")
ADULTS = sa.text("select id, name from users where age > :age order by id")


@pytest.fixture
def tpl(engine):
    """30 users: five aged 10..14, then 25 aged 20..44; notes cycle through three cities."""
    create_user_table(engine)
    t = SqlTemplate(engine)
    ages = list(range(10, 15)) + list(range(20, 45))
    t.insert_list(INSERT, args=[{"name": f"u{i}", "age": a, "note": ("Oslo", "Rome", "Lima")[i % 3]} for i, a in enumerate(ages)])
    return t


def test_page_three_of_ten(tpl, engine):
    page = tpl.select_page(ADULTS, Page(3, 10), args={"age": 18})
    assert list(page) == ["pageNum", "pageSize", "total", "list"]
    adults = tpl.select_list(ADULTS, args={"age": 18})
    assert (page["pageNum"], page["pageSize"], page["total"]) == (3, 10, 25)
    assert page["list"] == adults[20:25] and len(page["list"]) == 5
    assert list(page["list"][0]) == ["id", "name"]
    assert engine.pool.checkedout() == 0
    assert PageInfo(**page).total == 25


@pytest.mark.parametrize("num, size, age, total", [(4, 10, 18, 25), (100, 10, 18, 25), (2, 25, 18, 25), (1, 10, 99, 0)])
def test_page_past_the_end_keeps_the_true_total(tpl, num, size, age, total):
    page = tpl.select_page(ADULTS, Page(num, size), args={"age": age})
    assert page == {"pageNum": num, "pageSize": size, "total": total, "list": []}


@pytest.mark.parametrize("offset, limit", [(3, 2), (0, 5), (24, 10), (30, 4)])
def test_page_from_offset_starts_at_any_row(tpl, offset, limit):
    page = tpl.select_page(ADULTS, Page.from_offset(offset, limit), args={"age": 18})
    assert page["total"] == 25
    assert page["list"] == tpl.select_list(ADULTS, args={"age": 18})[offset:offset + limit]


# Each statement's total and page must agree with its full result: the wrapped count forms
# have to be valid SQL on both servers and count what the statement returns.
@pytest.mark.parametrize(
    "sql",
    [
        "SELECT DISTINCT note FROM users where age > :age order by note",
        "select note, count(*) as n from users where age > :age group by note order by note",
        "select note from users where age > :age group by note having count(*) > 8 order by note",
        "select name from users where age > :age union select note from users order by name",
        "select id, (select max(age) from users) as oldest from users where age > :age order by id",
        "select u.id, (select count(*) from users v where v.age < u.age) as younger from users u where u.age > :age order by u.id",
        "select id, note as distinct_total from users where age > :age order by id",
        "select id, note from (select * from users where age > :age) là  order by id",
    ],
)
@pytest.mark.parametrize("num, size", [(1, 4), (2, 4), (3, 10)])
def test_total_and_page_agree_with_the_full_result(tpl, sql, num, size):
    stmt = sa.text(sql)
    full = tpl.select_list(stmt, args={"age": 18})
    page = tpl.select_page(stmt, Page(num, size), args={"age": 18})
    assert page["total"] == len(full)
    assert page["list"] == full[(num - 1) * size : num * size]


def test_literal_colons_survive_both_statements(tpl):
    tpl.insert(INSERT, args={"name": "n", "age": 50, "note": "at :noon"})
    stmt, values = ParseMapper.to_prepared_statement(
        "select name, note from users where note = 'at :noon' and age > #{age}", {"age": 1}
    )
    assert tpl.select_page(stmt, Page(1, 5), args=values)["list"] == [{"name": "n", "note": "at :noon"}]


def test_both_statements_share_one_checked_out_connection(tpl, engine):
    seen = []

    def on_checkout(*_):
        seen.append(1)

    sa.event.listen(engine, "checkout", on_checkout)
    try:
        tpl.select_page(ADULTS, Page(2, 10), args={"age": 18})
    finally:
        sa.event.remove(engine, "checkout", on_checkout)
    assert len(seen) == 1 and engine.pool.checkedout() == 0


def test_caller_session_sees_its_own_rows_and_stays_open(tpl, engine):
    with Session(engine) as con:
        con.execute(INSERT, [{"name": f"new{i}", "age": 60 + i, "note": None} for i in range(6)])
        page = tpl.select_page(ADULTS, Page(4, 10), con, {"age": 18})
        assert page["total"] == 31
        assert [r["name"] for r in page["list"]] == ["new5"]
        assert con.in_transaction()  # neither committed nor closed by the template
        assert count_rows(engine) == 30
        con.rollback()
    assert count_rows(engine) == 30


@pytest.mark.parametrize(
    "sql, page, error",
    [
        (sa.text("select id from no_such_table where age > :age"), Page(1, 10), exc.DBAPIError),
        (ADULTS, object(), AttributeError),
        (ADULTS, PageInfo(pageSize=10), TypeError),  # pageNum None: the offset cannot be computed
    ],
)
def test_failure_rolls_back_the_caller_session(tpl, engine, sql, page, error):
    with Session(engine) as con:
        con.execute(INSERT, {"name": "pending", "age": 70, "note": None})
        with pytest.raises(error):
            tpl.select_page(sql, page, con, {"age": 18})
        assert not con.in_transaction()  # rolled back, but still usable
        assert con.execute(sa.text("select count(*) from users")).scalar() == 30
    assert engine.pool.checkedout() == 0


@pytest.mark.parametrize(
    "sql, page, error", [(sa.text("select id from no_such_table"), Page(1, 10), exc.DBAPIError), (ADULTS, object(), AttributeError)]
)
def test_failure_closes_an_own_session(tpl, engine, sql, page, error):
    with pytest.raises(error):
        tpl.select_page(sql, page, args={"age": 18})
    assert engine.pool.checkedout() == 0
