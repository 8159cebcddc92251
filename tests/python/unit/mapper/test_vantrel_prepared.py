"""#{...} text to bound statements: names, values, markers and whitespace."""
import gc
import re
import tracemalloc

import pytest
import sqlalchemy as sa

from zorvane.mapper import vantrel
from zorvane.mapper.vantrel import ParseMapper

prep = ParseMapper.to_prepared_statement


@pytest.mark.parametrize(
    "ret, param, sql, values",
    [
        (
            "select * from t where a = #{a} and b = #{b}",
            {"a": 1},
            "select * from t where a = :a and b = :b",
            {"a": 1, "b": None},
        ),
        (
            "in (#{ids_for_index_0},#{ids_for_index_1})",
            {"ids": [7, 8]},
            "in (:ids_for_index_0,:ids_for_index_1)",
            {"ids_for_index_0": 7, "ids_for_index_1": 8},
        ),
        ("where n = #{user.name}", {"user.name": "x"}, "where n = :user.name", {}),
        ("\n  select\t1 \r\n from   t  ", None, "select 1 from t", {}),
        ("order by ${col} limit #{n}", {"n": 3, "col": "x"}, "order by ${col} limit :n", {"n": 3}),
        ("a = #{a} or a = #{a}", {"a": [1]}, "a = :a or a = :a", {"a": [1]}),
        ("x = #{ids_for_index_-1}", {"ids": [1, 2]}, "x = :ids_for_index_-1", {"ids_for_index_-1": 2}),
    ],
)
def test_conversion(ret, param, sql, values):
    stmt, bound = prep(ret, param)
    assert isinstance(stmt, sa.TextClause)
    assert stmt.text == sql
    assert bound == values


@pytest.mark.parametrize(
    "ret, param, error",
    [
        ("#{ids_for_index_0}", {}, KeyError),
        ("#{ids_for_index_5}", {"ids": [1]}, IndexError),
        ("#{ids_for_index_x}", {"ids": [1]}, ValueError),
        ("#{a_for_index_1_for_index_2}", {"a": [1]}, ValueError),
        ("#{a}", None, TypeError),
        ("#{ids_for_index_x}", {}, KeyError),  # the list is looked up before the number is read
    ],
)
def test_conversion_errors(ret, param, error):
    with pytest.raises(error):
        prep(ret, param)


def test_keyword_arguments_and_no_placeholder_with_none():
    stmt, bound = prep(ret="select 1", param=None)
    assert (stmt.text, bound) == ("select 1", {})


def test_non_text_statement_is_rejected():
    with pytest.raises(TypeError):
        prep(b"select 1", {})


@pytest.mark.parametrize(
    "ret, sql",
    [
        ("where name = 'a  b'  and  x=1", "where name = 'a  b' and x=1"),
        ("where n = 'it''s  ok'", "where n = 'it''s  ok'"),
        ('select "a  b" ,  `c  d`', 'select "a  b" , `c  d`'),
        ("where note = 'meet at :noon'", "where note = 'meet at \\:noon'"),
        ("where t = '12:30:00'", "where t = '12:30:00'"),
    ],
)
def test_quoted_runs_are_kept(ret, sql):
    assert prep(ret, {})[0].text == sql


def test_format_sql_keeps_quoted_runs():
    assert ParseMapper._format_sql("  select  'a  b'\n\tfrom   t ") == "select 'a  b' from t"


@pytest.mark.parametrize(
    "ret, param, out",
    [
        ("order by ${col}", {"col": "id"}, "order by id"),
        ("order by ${col}", {}, "order by "),
        ("${a} ${b} ${a}", {"a": "${b}", "b": "x"}, "x x x"),
        ("#{a} ${ a }", {"a": "z"}, "#{a} ${ a }"),
    ],
)
def test_to_replace(ret, param, out):
    assert ParseMapper.to_replace(ret, param) == out


def test_to_replace_rejects_non_text_values():
    with pytest.raises(TypeError):
        ParseMapper.to_replace("${n}", {"n": 5})


def test_module_patterns():
    assert isinstance(vantrel.param_pattern, re.Pattern)
    assert vantrel.param_pattern.findall("#{a} #{b.c} #{d-e}") == ["a", "d-e"]
    assert vantrel.replace_pattern.findall("${a} #{b} ${c_1}") == ["a", "c_1"]


def test_repeated_statement_gets_fresh_values():
    sql = "select * from t where a = #{a}"
    assert prep(sql, {"a": 1})[1] == {"a": 1}
    assert prep(sql, {"a": 2})[1] == {"a": 2}
    assert prep(sql, {})[1] == {"a": None}


def test_cache_memory_stays_bounded():
    def convert(lo, hi):
        for i in range(lo, hi):
            prep(f"select * from t where id = #{{id}} and k = {i} {'x' * 200}", {"id": i})

    tracemalloc.start()
    convert(0, 4000)  # fills the cache to its bound
    gc.collect()
    before = tracemalloc.take_snapshot()
    convert(4000, 12000)
    gc.collect()
    grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(before, "filename"))
    tracemalloc.stop()
    assert grown < 512 * 1024
