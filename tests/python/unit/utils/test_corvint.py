"""CDATA text and SQL string literals, checked on real databases where they end up."""
import enum
import re
import sqlite3

import pytest
import sqlalchemy as sa
from hypothesis import given, settings
from hypothesis import strategies as st

from zorvane.utils.corvint import convert_cdata, param_str, replace_cdata, sql_string_format

LITERAL = re.compile(r"'(?:[^']|'')*'", re.S)


@pytest.mark.parametrize(
    "text, reverse, out",
    [
        ("&amp;lt;", False, "<"),
        ("&lt;a&gt; &quot;b&quot; &apos;", False, '<a> "b" &apos;'),
        ("a < b & c", True, "a &lt; b &amp; c"),
        ('"x" > \'y\'', 1, "&quot;x&quot; &gt; 'y'"),
        ("&lt;", "yes", "&amp;lt;"),
        ("&lt;", None, "<"),
    ],
)
def test_convert_cdata(text, reverse, out):
    assert convert_cdata(text, reverse) == out


@pytest.mark.parametrize(
    "raw, out",
    [
        ("select <![CDATA[a < b]]> x", "select a &lt; b x"),
        ("no section here", "no section here"),
        ("<![CDATA[<]]> and <![CDATA[>]]>", "&lt; and <![CDATA[>]]>"),
        ("<![CDATA[<]]> and <![CDATA[<]]>", "&lt; and &lt;"),
        ("<![CDATA[\n a <= 1\n]]>", "\n a &lt;= 1\n"),
        ("<![CDATA[ never closed", "<![CDATA[ never closed"),
        ("é\ud800<![CDATA[&]]>", "é\ud800&amp;"),
    ],
)
def test_replace_cdata(raw, out):
    assert replace_cdata(raw) == out


@pytest.mark.parametrize(
    "text, literal",
    [
        ("abc", "'abc'"), ("'abc'", "'abc'"), ("'abc", "'abc'"), ("abc'", "'abc'"), ("", "''"), ("'", "''"),
        ("''", "''"), ("'''", "''''"), ("it's", "'it''s'"), ("'it's'", "'it''s'"), ("'it''s'", "'it''s'"),
        ("'it's", "'it''s'"), ("a'''b", "'a''''b'"), ("'; drop table t; --", "'; drop table t; --'"),
        ("x'; drop table t; --", "'x''; drop table t; --'"),
    ],
)
def test_sql_string_format(text, literal):
    assert sql_string_format(text) == literal
    assert sql_string_format(literal) == literal


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="'a é\n;-", max_size=12))
def test_one_valid_literal_for_any_text(text):
    lit = sql_string_format(text)
    assert LITERAL.fullmatch(lit) and sql_string_format(lit) == lit
    with sqlite3.connect(":memory:") as db:
        (value,) = db.execute(f"select {lit}").fetchone()
    assert "'" + value.replace("'", "''") + "'" == lit


class Color(enum.StrEnum):
    RED = "r'ed"


@pytest.mark.parametrize(
    "value, out",
    [
        (None, "null"), (0, "null"), ("", "null"), (False, "null"), ([], "null"), (0.0, "null"),
        (5, "5"), (-2.5, "-2.5"), (True, "True"), ("x", "'x'"), ("it's", "'it''s'"), (Color.RED, "'r''ed'"),
    ],
)
def test_param_str(value, out):
    assert param_str(value) == out


class Boom:
    def __bool__(self):
        raise RuntimeError("bool called")


@pytest.mark.parametrize(
    "call, arg, got",
    [
        (lambda: replace_cdata(None), "raw_text", "NoneType"),
        (lambda: convert_cdata(b"&lt;", Boom()), "string", "bytes"),
        (lambda: sql_string_format(3), "sql_str_value", "int"),
        (lambda: sql_string_format(Color.RED), "sql_str_value", "Color"),
    ],
)
def test_type_errors(call, arg, got):
    with pytest.raises(TypeError, match=re.escape(f"Argument '{arg}' has incorrect type (expected str, got {got})")):
        call()
    with pytest.raises(RuntimeError, match="bool called"):
        param_str(Boom())


@pytest.mark.parametrize("value", ["it's", "'it's'", "'", "", "a''b", "O'Brien -- x", "''''"])
def test_literals_run_on_the_database(engine, value):
    lit = sql_string_format(value)
    with engine.connect() as c:
        got = c.exec_driver_sql(f"select {lit} as v").scalar()
        assert c.exec_driver_sql(f"select {param_str(value)} is null").scalar() == (value == "")
    assert "'" + got.replace("'", "''") + "'" == lit
