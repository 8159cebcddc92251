"""Template functions and the names tibbet takes over from corvint."""
import datetime
import re
import time

import pytest

from zorvane.utils import corvint, tibbet
from zorvane.utils.tibbet import default_fun_dict, like, time_format

STAMP = (2024, 1, 2, 3, 4, 5, 0, 0, -1)


@pytest.mark.parametrize("call, out", [
    (lambda: like("abc"), "'abc'"), (lambda: like("'abc'"), "'abc'"), (lambda: like("it's"), "'it''s'"),
    (lambda: like("%a_"), "'%a_'"), (lambda: time_format(STAMP), "'2024-01-02 03:04:05'"),
    (lambda: time_format(STAMP, "%Y/%m/%d"), "'2024/01/02'"),
    (lambda: time_format(time.struct_time(STAMP), format="%d'%m"), "'02''01'"),
])
def test_literals(call, out):
    assert call() == out


@pytest.mark.parametrize("call, error", [
    (lambda: like(5), "Argument 'sql_str_value' has incorrect type (expected str, got int)"),
    (lambda: time_format(datetime.datetime(2024, 1, 2), None), "Argument 'format' has incorrect type (expected str, got NoneType)"),
    (lambda: time_format(datetime.datetime(2024, 1, 2)), "Tuple or struct_time argument required"),
])
def test_type_errors(call, error):
    with pytest.raises(TypeError, match=re.escape(error)):
        call()


def test_registry_and_reexports():
    assert list(default_fun_dict.items()) == [("like", like), ("time_format", time_format)]
    public = [n for n in vars(corvint) if not n.startswith("_")]
    assert sorted(public) == ["convert_cdata", "param_str", "replace_cdata", "sql_string_format"]
    assert all(getattr(tibbet, n) is getattr(corvint, n) for n in public)
