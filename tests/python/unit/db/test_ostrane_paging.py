"""Count and page statements, Page and PageInfo."""
import dataclasses
import enum
import inspect
import math
import random
from decimal import Decimal
from fractions import Fraction

import pytest
import sqlalchemy as sa

from reference.paging import count_text
from zorvane.db.ostrane import Page, PageInfo, count_query, limit_query
from zorvane.mapper.vantrel import ParseMapper


def wrapped(text):
    return f"select count(*) from ( {text} ) temp"


@pytest.mark.parametrize(
    "sql, expected",
    [
        ("select id, name from user where age > :age order by id", "SELECT COUNT(*) as count FROM user where age > :age order by id"),
        ("select * from t;", "SELECT COUNT(*) as count FROM t"),
        (" \n select * from t ;;\n", "SELECT COUNT(*) as count FROM t "),
        ("SeLeCt a\r\n  FrOm\n\tt where x = 1", "SELECT COUNT(*) as count FROM t where x = 1"),
        ("select distinct_total, union_id from t", "SELECT COUNT(*) as count FROM t"),
        ("select a from t where b = 'x from y'", "SELECT COUNT(*) as count FROM t where b = 'x from y'"),
        ("SELECT DISTINCT city FROM user", wrapped("SELECT DISTINCT city FROM user")),
        ("select city, count(*) from user group\n by city", wrapped("select city, count(*) from user group\n by city")),
        ("select city from user Having max(age) > 1", wrapped("select city from user Having max(age) > 1")),
        ("select a from t union all select a from u", wrapped("select a from t union all select a from u")),
        ("select (select max(id) from u) as m from t", wrapped("select (select max(id) from u) as m from t")),
        ("update t set a = 1", wrapped("update t set a = 1")),
        ("with x as (select 1 as a) select a from x", wrapped("with x as (select 1 as a) select a from x")),
    ],
)
def test_count_rewrites(sql, expected):
    out = count_query(sa.text(sql))
    assert isinstance(out, sa.TextClause)
    assert out.text == expected


# Pieces that stress the scanner where the host's regex engine has its own views: case
# folding beyond ASCII (U+017F, U+0130, U+0131), Unicode whitespace, and word characters
# for \b (letters, digits, numerics are words; combining marks, symbols are not).
WORDS = ["select", "SELECT", "\u017felect", "from", "FROM", "fRoM", "distinct", "d\u0131stinct", "D\u0130STINCT",
         "group", "by", "having", "hav\u0131ng", "union", "a", "t", "b_c", "_", "1", "\u00e9", "\u20ac", "\u00b2", "\u00bd",
         "\u4e2d", "\u00aa", "\u0301", "\u00b7", "(", ")", ";", ",", "*", "'", "\u017f", "\u212a"]
SEPS = ["", "", " ", " ", "  ", "\n", "\t", "\r\n", "\u00a0", "\u2003", "\u3000", "\x1c", "\x85", "\u2028", "\u200b"]


def random_sql(rng):
    parts = [rng.choice(["", " ", "\n "])]
    if rng.random() < 0.7:
        parts.append(rng.choice(WORDS[:3]) + rng.choice(SEPS[2:]))
    for _ in range(rng.randint(0, 9)):
        parts.append(rng.choice(WORDS) + rng.choice(SEPS))
    parts.append(rng.choice(["", ";", ";;", " ;", "; "]))
    return "".join(parts)


@pytest.mark.parametrize("seed", range(8))
def test_count_matches_the_regex_engine(seed):
    rng = random.Random(seed)
    for _ in range(1500):
        sql = random_sql(rng)
        assert count_query(sa.text(sql)).text == count_text(sql), repr(sql)


def test_count_keeps_markers_and_escapes():
    stmt, _ = ParseMapper.to_prepared_statement("select a from t where n = ':x' and a = #{a}", {"a": 1})
    out = count_query(stmt)
    assert out.text == "SELECT COUNT(*) as count FROM " + stmt.text.split(" from ", 1)[1]
    assert set(out.compile().params) == {"a"}


@pytest.mark.parametrize("page, size, offset", [(1, 10, 0), (2, 10, 10), (3, 7, 14), (10**20, 2, 2 * (10**20 - 1))])
def test_limit_binds_size_and_offset(page, size, offset):
    q = limit_query(sa.text("select a from t where b = :b"), Page(page, size))
    assert q.text == "select a from t where b = :b limit :page_size offset :page_offset"
    assert q.compile().params == {"b": None, "page_size": size, "page_offset": offset}


@pytest.mark.parametrize("offset, limit, page_num", [(0, 10, 1), (3, 2, 2), (5, 20, 1), (40, 20, 3), (10**20, 7, 10**20 // 7 + 1)])
def test_page_from_offset_binds_the_exact_offset(offset, limit, page_num):
    p = Page.from_offset(offset, limit)
    assert type(p) is Page and (p.pageNum, p.pageSize, p.offset) == (page_num, limit, offset)
    assert limit_query(sa.text("select 1"), p).compile().params == {"page_size": limit, "page_offset": offset}


@pytest.mark.parametrize("offset, limit, error", [(-1, 10, ValueError), (0, 0, ValueError), (None, 10, TypeError), (0, "5", TypeError)])
def test_page_from_offset_rejects_impossible_ranges(offset, limit, error):
    with pytest.raises(error):
        Page.from_offset(offset, limit)


def test_limit_takes_any_object_with_page_fields():
    q = limit_query(sa.text("select 1"), PageInfo(pageSize=5, pageNum=4))
    assert q.compile().params["page_offset"] == 15
    with pytest.raises(AttributeError):
        limit_query(sa.text("select 1"), object())


@pytest.mark.parametrize("fn", [count_query, lambda s: limit_query(s, Page(1, 1))])
@pytest.mark.parametrize("bad", ["select 1", None, 5])
def test_statement_functions_reject_plain_text(fn, bad):
    with pytest.raises(TypeError, match="textual statement"):
        fn(bad)


class Color(enum.IntEnum):
    RED = 4


@pytest.mark.parametrize(
    "given, expected",
    [(3, 3), (2.9, 2), (-2.9, -2), (True, 1), (False, 0), (Decimal("7.99"), 7), (Fraction(7, 2), 3), (Color.RED, 4), (10**30, 10**30)],
)
def test_page_converts_numbers_to_int(given, expected):
    p = Page(given, given)
    assert (p.pageNum, p.pageSize) == (expected, expected)
    assert type(p.pageNum) is int and type(p.pageSize) is int


WRONG_TYPE = "Argument '{p}' has incorrect type"


@pytest.mark.parametrize(
    "bad, error, message",
    [(None, TypeError, WRONG_TYPE), ("1", TypeError, WRONG_TYPE), (b"2", TypeError, WRONG_TYPE), (1j, TypeError, WRONG_TYPE),
     (math.nan, ValueError, "NaN"), (math.inf, OverflowError, "infinity")],
)
@pytest.mark.parametrize("position", ["page_num", "page_size"])
def test_page_rejects_other_values(bad, error, message, position):
    with pytest.raises(error, match=message.format(p=position)):
        Page(**{"page_num": 1, "page_size": 10, position: bad})


def test_page_is_a_plain_class():
    p = Page(3, 10)
    assert list(vars(p)) == ["pageSize", "pageNum"]
    assert str(inspect.signature(Page)) == "(page_num, page_size)"
    assert Page.__module__ == "zorvane.db.ostrane"
    p.pageNum = 4  # fields are ordinary attributes
    assert limit_query(sa.text("select 1"), p).compile().params["page_offset"] == 30
    with pytest.raises(TypeError):
        Page(1)


def test_page_info_is_a_dataclass():
    assert dataclasses.is_dataclass(PageInfo) and PageInfo.__module__ == "zorvane.db.ostrane"
    assert [(f.name, f.default) for f in dataclasses.fields(PageInfo)] == [
        ("pageSize", None), ("pageNum", None), ("total", None), ("list", None)]
    info = PageInfo(**{"pageNum": 2, "pageSize": 10, "total": 11, "list": [{"a": 1}]})
    assert info == PageInfo(10, 2, 11, [{"a": 1}]) and info != PageInfo(10, 2, 12, [{"a": 1}])
    assert repr(PageInfo()) == "PageInfo(pageSize=None, pageNum=None, total=None, list=None)"
    assert dataclasses.asdict(info)["list"] == [{"a": 1}]
