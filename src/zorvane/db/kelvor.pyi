"""SQL session: per-context nested transactions and mapper statements by namespace and id."""

from contextvars import ContextVar
from typing import Any, Callable, Sequence

from sqlalchemy import Engine, Executable, Result, Row, TextClause
from sqlalchemy.orm import Session

from zorvane.db.ostrane import RowStream, SqlTemplate

def results_handle(results: Sequence[Any], result_type: Any, f_return_type: Any) -> Any:
    """Rows of a select shaped into the caller's return type: the rows, objects built by keyword, one row or values."""

class ZorvaneSqlSession:
    """Per-datasource session object: nested transactions per thread or task, mapper statements by id."""

    mapper_dict: dict[str, Any]
    """Namespace -> parsed mapper; the shared mapping, not a copy."""
    data_source: Engine | None
    """The engine on which transaction sessions are opened."""
    ostrane: SqlTemplate
    """The SqlTemplate that every statement operation is forwarded to."""
    def __init__(self, mapper_dict: dict[str, Any], data_source: Engine | None = None, ostrane: SqlTemplate | None = None) -> None: ...
    @property
    def connection_local(self) -> ContextVar[Session | None]:
        """Context variable: the current context's transaction session."""
    @property
    def _tx_depth(self) -> ContextVar[int]:
        """Context variable: the current context's transaction nesting depth."""
    def _ZorvaneSqlSession__con(self) -> Session | None:
        """The current context's transaction session, or None."""
    @property
    def _db_type(self) -> str | None:
        """"mysql" when statements run by MySQL's text rules, else None."""
    def get_ori_session(self) -> Session:
        """A new SQLAlchemy session on data_source, not tracked by this object."""
    def begin_tx(self) -> None:
        """Opens a transaction for this context, or one more level of the open one."""
    def commit(self) -> None:
        """Ends one level; the outermost commits the transaction session."""
    def rollback(self) -> None:
        """Rolls the transaction session back and ends the transaction at any level."""
    def close(self) -> None:
        """Closes the ended transaction's session; does nothing while a level is open."""
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        ori_params: dict[str, Any] | None = None,
        page: Any = None,
        return_type: Any = None,
        *,
        strict: bool = False,
    ) -> Any:
        """Renders the mapper statement `sql_id` of `namespace` by the rules of the session's database, runs it by its kind and converts select rows. With `strict`, a #{name} that `ori_params` does not hold raises ParameterError before any SQL runs."""
    def select_one(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> dict[str, Any] | None:
        """The first row as a dictionary, or None."""
    def select_list(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> list[dict[str, Any]]:
        """All rows as dictionaries."""
    def select_page(self, sql: TextClause, page: Any, sql_param: dict[str, Any] | None = None) -> dict[str, Any]:
        """One page of a select as a page dictionary."""
    def insert(self, sql: TextClause, sql_param: dict[str, Any] | None) -> Any:
        """Executes an insert; returns lastrowid (PostgreSQL: the first column of the first row of RETURNING, else None)."""
    def insert_list(
        self, sql: TextClause, sql_param: Sequence[dict[str, Any]] | None, batch_size: int | None = None
    ) -> None:
        """Inserts every dictionary of `sql_param` once, `batch_size` rows per execution (all at once when None)."""
    def select_iter(
        self,
        sql: TextClause,
        sql_param: dict[str, Any] | None = None,
        fetch_size: int = 1000,
        convert: Callable[[list[dict[str, Any]]], list[Any]] | None = None,
    ) -> RowStream:
        """A RowStream over the rows of a select as dictionaries (or `convert` of each batch), `fetch_size` at a time."""
    def delete(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int:
        """Executes a delete; returns rowcount."""
    def update(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int:
        """Executes an update; returns rowcount."""
    def add(self, data: Any) -> None:
        """Adds one object and flushes."""
    def add_all(self, datas: Any) -> None:
        """Adds the objects and flushes."""
    def select_all_orm1(self, statement: Executable) -> list[Row[Any]]:
        """All rows of an ORM select as the toolkit's row objects."""
    def select_all_orm2(self, statement: Executable) -> list[Any]:
        """All entities or scalars of an ORM select."""
    def select_one_orm1(self, statement: Executable) -> dict[str, Any] | None:
        """The first row of an ORM select as a dictionary, or None."""
    def select_one_orm2(self, statement: Executable) -> Any:
        """The single entity or scalar of an ORM select, or None."""
    def delete_orm2(self, statement: Executable) -> int:
        """Executes an ORM delete; returns rowcount."""
    def update_orm2(self, statement: Executable, sql_param: dict[str, Any] | None = None) -> int:
        """Executes an ORM update; returns rowcount."""
    def bulk_update_mappings(self, table_model: Any, data_list: list[dict[str, Any]] | None = None) -> None:
        """Updates rows of `table_model` from key dictionaries."""
    def insert_orm2(self, statement: Executable, data_list: list[Any] | None = None) -> Result[Any]:
        """Executes an ORM insert; returns the toolkit's result."""
