"""Keyword replacement at the start and the end of a statement, through the host's re."""
import re

import pytest

from zorvane.utils.malvey import replace_sql_first, replace_sql_last


@pytest.mark.parametrize(
    "text, overrides, repl, out",
    [
        ("   and a = 1 AND b = 2", "AND|OR", "", " a = 1 AND b = 2"),
        ("OR a = 1", "AND|OR", "", " a = 1"),
        ("ANDROID_ID = 1", "AND", "", "ROID_ID = 1"),
        ("a = 1 and b = 2", "AND|OR", "", "a = 1 and b = 2"),
        ("\n where x\n", "WHERE", "", " x"),
        ("and x", "AND", r"[\1]", "[and] x"),
        ("a.b", ".", "", ".b"),  # the fragment is a pattern: "." is any character
        ("\n\t x = 1 \n", "AND", "", "x = 1"),
    ],
)
def test_replace_sql_first(text, overrides, repl, out):
    assert replace_sql_first(text, overrides, repl) == out


@pytest.mark.parametrize(
    "text, overrides, repl, out",
    [
        ("a = 1, b = 2,", ",", "", "a = 1, b = 2"),
        ("a = 1, -- note", ",", "", "a = 1"),
        ("a = 1, b = 2", ",", "", "a = 1, b = 2"),
        ("x = 1 AND", "and|or", " ", "x = 1  "),
        ("x = 1 or -- keep?\n", "AND|OR", "", "x = 1 "),
        ("a, b,", ",", r"\g<1>!", "a, b,!"),
        ("set a = 1\n\n", ",", "", "set a = 1"),
    ],
)
def test_replace_sql_last(text, overrides, repl, out):
    assert replace_sql_last(text, overrides, repl) == out
    assert replace_sql_last(string=text, suffix_overrides=overrides, replace=repl) == out


@pytest.mark.parametrize("fn", [replace_sql_first, replace_sql_last])
def test_engine_errors_reach_the_caller(fn):
    with pytest.raises(re.error):
        fn("and x", "(AND", "")
    with pytest.raises(re.error):
        fn("and x,", "and|,", r"\3")


@pytest.mark.parametrize(
    "fn, args, arg, got",
    [
        (replace_sql_first, (None, "AND", ""), "string", "NoneType"),
        (replace_sql_first, ("x", b"AND", ""), "prefix_overrides", "bytes"),
        (replace_sql_last, ("x", ",", 0), "replace", "int"),
        (replace_sql_last, ("x", re.compile(","), ""), "suffix_overrides", "re.Pattern"),
    ],
)
def test_type_errors(fn, args, arg, got):
    with pytest.raises(TypeError, match=re.escape(f"Argument '{arg}' has incorrect type (expected str, got {got})")):
        fn(*args)
