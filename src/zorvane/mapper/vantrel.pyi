"""Mapper XML parser: statements by id, dynamic SQL and bound statements."""

import re
from collections.abc import Iterable, KeysView
from typing import Any, Mapping
from xml.etree.ElementTree import Element

from sqlalchemy import TextClause

sql_id_type_list: list[str]
param_pattern: re.Pattern[str]
replace_pattern: re.Pattern[str]

class Decision:
    """One dynamic decision of an explained rendering."""

    @property
    def line(self) -> int:
        """Line of the element in its mapper file (0 when unknown)."""
    @property
    def tag(self) -> str:
        """if, when, choose or foreach."""
    @property
    def expression(self) -> str | None:
        """The test or collection expression; None for a choose."""
    @property
    def outcome(self) -> bool | int | str:
        """Whether the test held, the number of items, or the branch a choose took."""

class Explanation:
    """A rendered statement with the decisions that shaped it."""

    @property
    def sql(self) -> str:
        """Statement text as the toolkit gets it, with :name bind markers."""
    @property
    def params(self) -> dict[str, Any]:
        """Bound values by marker name."""
    @property
    def decisions(self) -> list[Decision]:
        """Dynamic decisions in the order taken."""

class ParseMapper:
    """One mapper XML file: its statements by id, rendered into bound statements."""

    namespace: str
    id_2_element_map: dict[str, Element]
    result_type_map: dict[str, type]
    sql_type_map: dict[str, str]

    def __init__(self, xml_path: str | None = None) -> None:
        """Reads the mapper file at `xml_path` and compiles its statements."""
    def list_statement(self) -> KeysView[str]:
        """Live view of the registered ids, fragments included, in document order."""
    def get_sql(
        self, sql_id: str, params: Mapping[str, Any] | None = None, *, db_type: str | None = None, strict: bool = False
    ) -> tuple[TextClause, dict[str, Any], str, type]:
        """(TextClause, bound values, sql_type, result_type) of statement `sql_id` rendered for `params`; `db_type` picks the database's comment and quoting rules, `strict` rejects a #{name} that `params` does not hold (ParameterError)."""
    def explain(
        self, sql_id: str, params: Mapping[str, Any] | None = None, *, db_type: str | None = None
    ) -> Explanation:
        """Renders `sql_id` as get_sql does and reports the SQL, bound values and dynamic decisions."""
    def select(
        self, id: str, params: Mapping[str, Any] | None, *, db_type: str | None = None
    ) -> tuple[TextClause, dict[str, Any]]:
        """Renders select `id`: (TextClause, bound values)."""
    def insert(
        self, id: str, params: Mapping[str, Any] | None, primary_key: str | None = None, *, db_type: str | None = None
    ) -> tuple[TextClause, dict[str, Any]]:
        """Renders insert `id`, adding " RETURNING <primary_key>" when one is given."""
    def update(
        self, id: str, params: Mapping[str, Any] | None, *, db_type: str | None = None
    ) -> tuple[TextClause, dict[str, Any]]:
        """Renders update `id`: (TextClause, bound values)."""
    def delete(
        self, id: str, params: Mapping[str, Any] | None, *, db_type: str | None = None
    ) -> tuple[TextClause, dict[str, Any]]:
        """Renders delete `id`: (TextClause, bound values)."""
    def parse_element(self, element: Element, param: dict[str, Any]) -> str:
        """SQL text of one mapper element for the rendering context `param` ({'params': ...})."""
    @staticmethod
    def _trim_prefix(s: str, prefixes: Iterable[str]) -> str:
        """`s` normalised, with the given prefixes removed from its start as long as one matches."""
    @staticmethod
    def _trim_suffix(s: str, suffixes: Iterable[str]) -> str:
        """`s` normalised, with the given suffixes removed from its end as long as one matches."""
    @staticmethod
    def to_prepared_statement(
        ret: str, param: Mapping[str, Any] | None, *, db_type: str | None = None, strict: bool = False
    ) -> tuple[TextClause, dict[str, Any]]:
        """Turns #{name} placeholders outside literals and comments into :name markers; returns (TextClause, bound values). `db_type` picks the database's comment and quoting rules; `strict` rejects a #{name} that `param` does not hold (ParameterError)."""
    @staticmethod
    def _format_sql(sql: str, *, db_type: str | None = None) -> str:
        """Collapses whitespace outside quoted runs and block comments to single blanks, drops line comments and strips both ends."""
    @staticmethod
    def to_replace(ret: str, param: Mapping[str, Any]) -> str:
        """Substitutes ${name} placeholders by the text values of `param`."""
