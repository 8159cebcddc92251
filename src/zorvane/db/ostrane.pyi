"""SQL template: runs one statement per call with the library's session rules; paging."""

import builtins
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction
from typing import Any, Callable, Iterator, Sequence, SupportsIndex, SupportsInt

from sqlalchemy import Engine, Executable, Result, Row, TextClause
from sqlalchemy.orm import Session

class Page:
    """A page request: pageNum counted from 1 and pageSize rows per page (offset: the first row, set by from_offset)."""

    pageSize: int
    pageNum: int
    offset: int | None
    def __init__(
        self,
        page_num: SupportsInt | SupportsIndex | Decimal | Fraction,
        page_size: SupportsInt | SupportsIndex | Decimal | Fraction,
    ) -> None:
        """Converts both numbers to int; None and text are rejected."""
    @staticmethod
    def from_offset(offset: SupportsInt, limit: SupportsInt) -> Page:
        """The page of `limit` rows starting at row `offset` (counted from 0), which need not be a multiple of `limit`."""

@dataclass
class PageInfo:
    """A page result: pageSize, pageNum, total and the rows of the page in list."""

    pageSize: int | None = None
    pageNum: int | None = None
    total: int | None = None
    list: builtins.list[dict[str, Any]] | None = None

def count_query(sql: TextClause) -> TextClause:
    """A new textual statement counting the rows of `sql`; values bound to `sql` are not carried over."""

def limit_query(sql: TextClause, page: Any) -> TextClause:
    """`sql` followed by limit :page_size offset :page_offset, both bound from `page`."""

class _SessionScope:
    """Session scope handed out by SqlTemplate.get_session."""

    def __enter__(self) -> Session: ...
    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> bool: ...

class RowStream(Iterator[Any]):
    """Iterator over the rows of a select, fetched in batches; holds its connection until closed."""
    def __next__(self) -> Any: ...
    def close(self) -> None:
        """Releases the cursor and the connection; idempotent."""
    @property
    def closed(self) -> bool:
        """Whether the stream has been closed or exhausted."""
    def __enter__(self) -> RowStream: ...
    def __exit__(self, exc_type: object, exc: object, tb: object) -> None: ...

class SqlTemplate:
    """Runs one statement per call on a session of its engine."""

    def __init__(self, data_source: Engine) -> None: ...
    @property
    def data_source(self) -> Engine:
        """The engine on which the template opens its own sessions."""
    def get_session(self, session: Session | None = None) -> _SessionScope:
        """Context manager: the given session, or a new one committed on success and closed at the end."""
    def insert(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> Any:
        """Executes an insert; returns lastrowid (PostgreSQL: the first column of the first row of RETURNING, else None)."""
    def insert_list(
        self,
        sql: TextClause,
        con: Session | None = None,
        args: Sequence[dict[str, Any]] | None = None,
        batch_size: int | None = None,
    ) -> None:
        """Inserts every dictionary of `args` once, through the driver's executemany, `batch_size` rows per execution (all at once when None); returns None."""
    def select_iter(
        self,
        sql: TextClause,
        con: Session | None = None,
        args: dict[str, Any] | None = None,
        fetch_size: int = 1000,
        convert: Callable[[list[dict[str, Any]]], list[Any]] | None = None,
    ) -> RowStream:
        """A RowStream over the rows of `sql` as dictionaries (or `convert` of each batch of them), fetched `fetch_size` at a time; an own session is held until the stream ends."""
    def insert_orm2(self, statement: Executable, data_list: list[Any] | None, con: Session | None = None) -> Result[Any]:
        """Executes an ORM insert; returns the toolkit's result object."""
    def add(self, data: Any, con: Session | None = None) -> None:
        """Adds one object and flushes."""
    def add_all(self, data: Any, con: Session | None = None) -> None:
        """Adds the objects and flushes."""
    def update(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> int:
        """Executes a statement; returns rowcount."""
    def delete(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> int:
        """Same as update(sql, con, args)."""
    def update_orm2(self, statement: Executable, con: Session | None = None, sql_param: dict[str, Any] | None = None) -> int:
        """Executes an ORM update or delete; returns rowcount."""
    def delete_orm2(self, statement: Executable, con: Session | None = None, sql_param: dict[str, Any] | None = None) -> int:
        """Same as update_orm2(statement, con, sql_param)."""
    def bulk_update_mappings(
        self, table_model: Any, drumsel: list[dict[str, Any]] | None = None, con: Session | None = None
    ) -> None:
        """Updates rows of `table_model` from dictionaries holding their keys."""
    def select_one(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> dict[str, Any] | None:
        """The first row as a dictionary, or None."""
    def select_list(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> list[dict[str, Any]]:
        """All rows as dictionaries, in result order."""
    def select_one_orm1(self, statement: Executable, con: Session | None = None) -> dict[str, Any] | None:
        """The first row of an ORM select as a dictionary, or None."""
    def select_one_orm2(self, statement: Executable, con: Session | None = None) -> Any:
        """The single entity or scalar of an ORM select, or None."""
    def select_all_orm1(self, statement: Executable, con: Session | None = None) -> list[Row[Any]]:
        """All rows of an ORM select as the toolkit's row objects."""
    def select_all_orm2(self, statement: Executable, con: Session | None = None) -> list[Any]:
        """All entities or scalars of an ORM select."""
    def select_page(
        self, sql: TextClause, page: Any, con: Session | None = None, args: dict[str, Any] | None = None
    ) -> dict[str, Any]:
        """Counts the rows of `sql`, then fetches one page of them, in one session; returns the page dictionary."""
