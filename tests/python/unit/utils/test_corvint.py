"""CDATA text and SQL string literals, checked on real databases where they end up."""
import contextlib
import enum
import re
import sqlite3

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import count_rows, create_user_table
from zorvane.utils.corvint import convert_cdata, param_str, replace_cdata, sql_string_format
from zorvane.utils.tibbet import like


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


# The db_type spellings each backend's literals are written with.
DB_TYPES = {"sqlite": (None, "sqlite"), "postgresql": (None, "postgresql"), "mysql": ("mysql", "mariadb")}


@pytest.mark.parametrize("value", [
    "\\' OR 1=1 -- ", "trailing \\", "\\\\' OR 'a'='a", "C:\\temp\\new", "\\'); DELETE FROM victims; -- ",
    "naïve 中文 😀 \\'\\", "nul \0 byte",
])
def test_spliced_values_are_stored_exactly(engine, backend, value):
    if "\0" in value and backend != "mysql":
        pytest.skip("neither PostgreSQL nor sqlite3 takes a NUL in statement text")
    create_user_table(engine)
    with engine.begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS victims")
        c.exec_driver_sql("CREATE TABLE victims (id INTEGER)")
        c.exec_driver_sql("INSERT INTO victims VALUES (1), (2)")
    with engine.begin() as c:
        for db_type in DB_TYPES[backend]:
            for helper in (sql_string_format, param_str, like):
                c.exec_driver_sql(f"insert into users (note) values ({helper(value, db_type=db_type)})")
    with engine.connect() as c:
        assert c.exec_driver_sql("select note from users").scalars().all() == [value] * 6
    assert count_rows(engine, "victims") == 2


@pytest.mark.parametrize("helper", [sql_string_format, param_str, like])
def test_db_type_is_checked(helper):
    with pytest.raises(ValueError, match="unknown db_type 'oracle'"):
        helper("x", db_type="oracle")
    with pytest.raises(TypeError, match="'db_type'"):
        helper("x", db_type=b"mysql")
