import builtins
from dataclasses import dataclass
from decimal import Decimal
from fractions import Fraction
from typing import Any, Callable, Iterator, NamedTuple, Sequence, SupportsIndex, SupportsInt

from sqlalchemy import Engine, Executable, Result, Row, TextClause
from sqlalchemy.orm import Session

class Statement(NamedTuple):
    """One statement as it ran: its id, the SQL as sent, the bound values, the rows, the datasource, the operation, the duration in milliseconds and the error, if any."""

    id: str | None
    sql: str | None
    params: Any
    rows: int | None
    datasource: str | None
    operation: str | None
    duration_ms: float
    error: BaseException | None

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

def count_query(sql: TextClause) -> TextClause: ...

def limit_query(sql: TextClause, page: Any) -> TextClause: ...

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
    def __init__(self, data_source: Engine) -> None: ...
    @property
    def data_source(self) -> Engine: ...
    def get_session(self, session: Session | None = None) -> _SessionScope: ...
    def insert(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> Any: ...
    def insert_list(
        self,
        sql: TextClause,
        con: Session | None = None,
        args: Sequence[dict[str, Any]] | None = None,
        batch_size: int | None = None,
    ) -> None: ...
    def select_iter(
        self,
        sql: TextClause,
        con: Session | None = None,
        args: dict[str, Any] | None = None,
        fetch_size: int = 1000,
        convert: Callable[[list[dict[str, Any]]], list[Any]] | None = None,
    ) -> RowStream: ...
    def insert_orm2(self, statement: Executable, data_list: list[Any] | None, con: Session | None = None) -> Result[Any]: ...
    def add(self, data: Any, con: Session | None = None) -> None: ...
    def add_all(self, data: Any, con: Session | None = None) -> None: ...
    def update(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> int: ...
    def delete(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> int: ...
    def update_orm2(self, statement: Executable, con: Session | None = None, sql_param: dict[str, Any] | None = None) -> int: ...
    def delete_orm2(self, statement: Executable, con: Session | None = None, sql_param: dict[str, Any] | None = None) -> int: ...
    def bulk_update_mappings(
        self, table_model: Any, drumsel: list[dict[str, Any]] | None = None, con: Session | None = None
    ) -> None: ...
    def select_one(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> dict[str, Any] | None: ...
    def select_list(self, sql: TextClause, con: Session | None = None, args: dict[str, Any] | None = None) -> list[dict[str, Any]]: ...
    def select_one_orm1(self, statement: Executable, con: Session | None = None) -> dict[str, Any] | None: ...
    def select_one_orm2(self, statement: Executable, con: Session | None = None) -> Any: ...
    def select_all_orm1(self, statement: Executable, con: Session | None = None) -> list[Row[Any]]: ...
    def select_all_orm2(self, statement: Executable, con: Session | None = None) -> list[Any]: ...
    def select_page(
        self, sql: TextClause, page: Any, con: Session | None = None, args: dict[str, Any] | None = None
    ) -> dict[str, Any]: ...
