"""Template functions that turn values into SQL string literals."""

from collections.abc import Callable
from typing import Any

from zorvane.utils.corvint import convert_cdata as convert_cdata
from zorvane.utils.corvint import param_str as param_str
from zorvane.utils.corvint import replace_cdata as replace_cdata
from zorvane.utils.corvint import sql_string_format as sql_string_format

def like(value: str, *, db_type: str | None = None) -> str:
    """`value` (text) as one SQL string literal; no wildcard is added.

    `db_type` names the server the text is for: None, "postgresql" or "sqlite" (standard strings), or
    "mysql" or "mariadb", where backslashes are doubled too so that the server stores the text as given;
    any other name raises ValueError. Bound #{} parameters are the safe way to pass values; this is for
    code that builds SQL text itself.
    """

def time_format(date_value: Any, format: str = "%Y-%m-%d %H:%M:%S") -> str:
    """A time tuple formatted by time.strftime with `format`, as a SQL string literal."""

default_fun_dict: dict[str, Callable[..., str]]
