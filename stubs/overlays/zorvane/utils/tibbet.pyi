from collections.abc import Callable
from typing import Any

from zorvane.utils.corvint import convert_cdata as convert_cdata
from zorvane.utils.corvint import param_str as param_str
from zorvane.utils.corvint import replace_cdata as replace_cdata
from zorvane.utils.corvint import sql_string_format as sql_string_format

def like(value: str, *, db_type: str | None = None) -> str: ...

def time_format(date_value: Any, format: str = "%Y-%m-%d %H:%M:%S") -> str: ...

default_fun_dict: dict[str, Callable[..., str]]
