"""CDATA text and SQL string literals, checked on real databases where they end up."""
import contextlib
import enum
import re
import sqlite3

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import create_user_table
from zorvane.utils.corvint import convert_cdata, param_str, replace_cdata, sql_string_format


@pytest.mark.parametrize("call, out", [
    (lambda: convert_cdata("&amp;lt; &quot;"), '< "'),
    (lambda: convert_cdata("a < b & 'c'", "yes"), "a &lt; b &amp; 'c'"),
    (lambda: replace_cdata("select <![CDATA[a < b]]> x"), "select a &lt; b x"),
    (lambda: replace_cdata("<![CDATA[<]]> <![CDATA[>]]> <![CDATA[<]]>"), "&lt; <![CDATA[>]]> &lt;"),
    (lambda: replace_cdata("é\ud800<![CDATA[\n&]]>"), "é\ud800\n&amp;"),
    (lambda: replace_cdata("<![CDATA[ never closed"), "<![CDATA[ never closed"),
])
def test_cdata(call, out):
    assert call() == out


@pytest.mark.parametrize("text, literal", [
    ("abc", "'abc'"), ("'abc'", "'abc'"), ("abc'", "'abc'"), ("", "''"), ("'", "''"), ("'''", "''''"),
    ("it's", "'it''s'"), ("'it's'", "'it''s'"), ("'it''s'", "'it''s'"), ("'it's", "'it''s'"), ("a'''b", "'a''''b'"),
])
def test_sql_string_format(text, literal):
    assert sql_string_format(text) == literal


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="'a é\n;-", max_size=12))
def test_one_valid_idempotent_literal_for_any_text(text):
    lit = sql_string_format(text)
    assert sql_string_format(lit) == lit
    with contextlib.closing(sqlite3.connect(":memory:")) as db:
        (value,) = db.execute(f"select {lit}").fetchone()  # fails unless lit is exactly one literal
    assert "'" + value.replace("'", "''") + "'" == lit


class Color(enum.StrEnum):
    RED = "r'ed"


@pytest.mark.parametrize("value, out", [
    (None, "null"), (0, "null"), ("", "null"), ([], "null"), (5, "5"), (-2.5, "-2.5"), (True, "True"),
    ("it's", "'it''s'"), (Color.RED, "'r''ed'"),
])
def test_param_str(value, out):
    assert param_str(value) == out


@pytest.mark.parametrize("call, arg, got", [
    (lambda: replace_cdata(None), "raw_text", "NoneType"),
    (lambda: convert_cdata(b"&lt;"), "string", "bytes"),
    (lambda: sql_string_format(Color.RED), "sql_str_value", "Color"),
])
def test_type_errors(call, arg, got):
    with pytest.raises(TypeError, match=re.escape(f"Argument '{arg}' has incorrect type (expected str, got {got})")):
        call()


@pytest.mark.parametrize("value, stored", [("it's", "it's"), ("'", ""), ("a''b", "a'b"), ("O'Brien -- x", "O'Brien -- x")])
def test_literals_run_on_the_database(engine, value, stored):
    create_user_table(engine)
    with engine.begin() as c:
        c.exec_driver_sql(f"insert into users (name, note) values ({param_str(value)}, {sql_string_format(value)})")
    with engine.connect() as c:
        assert c.exec_driver_sql("select name, note from users").one() == (stored, stored)
