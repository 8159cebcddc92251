import re
from typing import Any

class SqlParam:
    is_function: bool
    param_name: str | None
    function_expression: str | None
    function_name: str | None
    def __init__(
        self,
        param_name: str | None = None,
        function_expression: str | None = None,
        is_function: object = False,
        function_name: str | None = None,
    ) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

class PlaceholderParam:
    sql_param: SqlParam
    full_name: str | None
    sql_type: str | None
    python_type: str | None
    type_handler: str | None
    param_name: str | None
    name: str | None
    def __init__(
        self,
        sql_param: SqlParam,
        full_name: str | None = None,
        sql_type: str | None = None,
        python_type: str | None = None,
        type_handler: str | None = None,
    ) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

class SqlParamRegex:
    regex: re.Pattern[str]
    prefix: str
    def __init__(self, regex: str, prefix: str) -> None: ...
    def resolve_param(self, param: str) -> SqlParam: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...

type_mapping: dict[str, list[str]]
sql_regex_list: list[SqlParamRegex]
param_function_regex: re.Pattern[str]

def get_sql_param(param_text: str) -> list[PlaceholderParam]: ...

def get_params(child: Any) -> list[PlaceholderParam]: ...

def __get_regex_value(regex: str, param: str, group: str) -> str | None: ...
