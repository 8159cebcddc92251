"""Mapper XML parser: statements by id, dynamic SQL and bound statements."""

import re
from typing import Any, Mapping

from sqlalchemy import TextClause

sql_id_type_list: list[str]
param_pattern: re.Pattern[str]
replace_pattern: re.Pattern[str]

class ParseMapper:
    """One mapper XML file: its statements by id, rendered into bound statements."""

    @staticmethod
    def to_prepared_statement(ret: str, param: Mapping[str, Any] | None) -> tuple[TextClause, dict[str, Any]]:
        """Turns #{name} placeholders into :name markers; returns (TextClause, bound values)."""
    @staticmethod
    def _format_sql(sql: str) -> str:
        """Collapses whitespace outside quoted runs to single blanks and strips both ends."""
    @staticmethod
    def to_replace(ret: str, param: Mapping[str, Any]) -> str:
        """Substitutes ${name} placeholders by the text values of `param`."""
