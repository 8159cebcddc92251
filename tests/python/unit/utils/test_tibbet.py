"""Template functions and the names tibbet takes over from corvint."""
import datetime
import re
import time

import pytest

from zorvane.utils import corvint, tibbet
from zorvane.utils.tibbet import default_fun_dict, like, time_format

STAMP = (2024, 1, 2, 3, 4, 5, 0, 0, -1)


@pytest.mark.parametrize(
    "value, out", [("abc", "'abc'"), ("'abc'", "'abc'"), ("it's", "'it''s'"), ("%a_", "'%a_'"), ("", "''")]
)
def test_like(value, out):
    assert like(value) == out


@pytest.mark.parametrize(
    "args, out",
    [
        ((STAMP,), "'2024-01-02 03:04:05'"),
        ((STAMP, "%Y/%m/%d"), "'2024/01/02'"),
        ((time.struct_time(STAMP), "%H:%M"), "'03:04'"),
        ((STAMP, "%d'%m"), "'02''01'"),
        ((STAMP, ""), "''"),
    ],
)
def test_time_format(args, out):
    assert time_format(*args) == out


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: like(5), "Argument 'sql_str_value' has incorrect type (expected str, got int)"),
        (lambda: time_format(datetime.datetime(2024, 1, 2), 5), "Argument 'format' has incorrect type (expected str, got int)"),
        (lambda: time_format(STAMP, format=None), "Argument 'format' has incorrect type (expected str, got NoneType)"),
        (lambda: time_format(datetime.datetime(2024, 1, 2)), None),
        (lambda: time_format(1700000000.0), None),
    ],
)
def test_type_errors(call, error):
    with pytest.raises(TypeError, match=re.escape(error) if error else None):
        call()


def test_registry_and_reexports():
    assert list(default_fun_dict.items()) == [("like", like), ("time_format", time_format)]
    assert default_fun_dict["time_format"] is time_format
    public = [n for n in vars(corvint) if not n.startswith("_")]
    assert sorted(public) == ["convert_cdata", "param_str", "replace_cdata", "sql_string_format"]
    assert all(getattr(tibbet, n) is getattr(corvint, n) for n in public)
    assert tibbet.sql_string_format("x") == "'x'"
