"""Keyword replacement at the start and the end of a statement, through the host's re."""
import re

import pytest

from zorvane.utils.malvey import replace_sql_first, replace_sql_last


@pytest.mark.parametrize("fn, text, overrides, repl, out", [
    (replace_sql_first, "   and a = 1 AND b = 2", "AND|OR", "", " a = 1 AND b = 2"),
    (replace_sql_first, "ANDROID_ID = 1", "AND", "", "ROID_ID = 1"),
    (replace_sql_first, "a = 1 and b = 2\n", "AND|OR", "", "a = 1 and b = 2"),
    (replace_sql_first, "and x", "AND", r"[\1]", "[and] x"),
    (replace_sql_first, "a.b", ".", "", ".b"),  # a fragment is a pattern: "." is any character
    (replace_sql_last, "a = 1, b = 2,", ",", "", "a = 1, b = 2"),
    (replace_sql_last, "a = 1, -- note", ",", "", "a = 1"),
    (replace_sql_last, "x = 1 or -- keep?\n", "AND|OR", "", "x = 1 "),
    (replace_sql_last, "a, b,", ",", r"\g<1>!", "a, b,!"),
])
def test_replacement(fn, text, overrides, repl, out):
    assert fn(text, overrides, repl) == out


@pytest.mark.parametrize("fn", [replace_sql_first, replace_sql_last])
def test_errors(fn):
    for args in [("and x", "(AND", ""), ("and x,", "and|,", r"\3")]:
        with pytest.raises(re.error):
            fn(*args)
    for args, arg, got in [((None, "AND", ""), "string", "NoneType"), (("x", ",", 0), "replace", "int")]:
        with pytest.raises(TypeError, match=re.escape(f"Argument '{arg}' has incorrect type (expected str, got {got})")):
            fn(*args)
    with pytest.raises(TypeError, match="Argument '(prefix|suffix)_overrides' has incorrect type"):
        fn("x", re.compile(","), "")
