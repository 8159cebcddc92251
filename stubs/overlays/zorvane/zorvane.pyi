import inspect
from contextlib import AbstractContextManager
from contextvars import ContextVar
from typing import Any, AsyncIterator, Callable, ClassVar, Generic, Iterable, Literal, Mapping, Sequence, TypeVar, Unpack, final, overload

from pydantic import BaseModel
from sqlalchemy import Delete, Select, TextClause, Update
from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession
from sqlalchemy.orm import DeclarativeBase, Session

from zorvane.db.kelvor import ZorvaneSqlSession
from zorvane.db.ostrane import Page
from zorvane._typing import StatementDecorator

T = TypeVar("T", bound=DeclarativeBase)
_F = TypeVar("_F", bound=Callable[..., Any])
_C = TypeVar("_C")

datasource_context: ContextVar[str | None]

@final
class _Wrapper:
    """Callable wrapper made by zorvane (decorators, datasource scopes, mapper calls)."""

    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

class DataSource:
    """One datasource: a MySQL or PostgreSQL server (host, port, user, password, database) or a SQLite file; pool settings and connect_args (handed to the driver) are optional; log_params puts the bound values in the SQL log, slow_query_ms logs slower statements as warnings; replicas (mappings of the same keys, missing ones taken from the primary) serve reads outside transactions, except for read_your_writes_s seconds after a write of the same context; a failing replica is left out for replica_cooldown_s."""

    __match_args__ = (
        "db_type", "host", "port", "user", "password", "database", "sqlite_path",
        "pool_size", "max_overflow", "pool_recycle", "pool_timeout", "connect_args", "log_params", "slow_query_ms",
        "replicas", "read_your_writes_s", "replica_cooldown_s",
    )
    db_type: str
    host: str | None
    port: int | None
    user: str | None
    password: str | None
    database: str | None
    sqlite_path: str | None
    pool_size: int
    max_overflow: int
    pool_recycle: int
    pool_timeout: int
    connect_args: dict[str, Any] | None
    log_params: bool
    slow_query_ms: float | None
    replicas: list[Mapping[str, Any]] | None
    read_your_writes_s: float
    replica_cooldown_s: float
    def __init__(
        self,
        db_type: str,
        host: str | None = None,
        port: int | None = None,
        user: str | None = None,
        password: str | None = None,
        database: str | None = None,
        sqlite_path: str | None = None,
        pool_size: int = 10,
        max_overflow: int = 30,
        pool_recycle: int = 1800,
        pool_timeout: int = 30,
        connect_args: dict[str, Any] | None = None,
        log_params: bool = False,
        slow_query_ms: float | None = None,
        replicas: list[Mapping[str, Any]] | None = None,
        read_your_writes_s: float = 3.0,
        replica_cooldown_s: float = 10.0,
    ) -> None: ...
    def __repr__(self) -> str:
        """The generated text form with the password shown as ***."""

class DBConfig:
    """The datasources of an application (ds), the mapper directory and the primary name."""

    __match_args__ = ("ds", "raw_sql", "mapper_xml_path", "primary")
    ds: dict[str, DataSource]
    raw_sql: bool
    mapper_xml_path: str | None
    primary: str | None
    def __init__(
        self,
        primary: str | None = None,
        mapper_xml_path: str | None = None,
        raw_sql: bool = False,
        **datasources: dict[str, Any],
    ) -> None:
        """Declares the datasources, one per extra keyword argument."""

class ZorvaneConfig:
    """Process-wide configuration: the datasource registry and the parsed mapper files."""

    _instance: ClassVar[ZorvaneConfig | None]
    _initialized: ClassVar[bool]
    datasource: ClassVar[dict[str, dict[str, Any]]]
    raw_sql: ClassVar[bool]
    zorvane_mapper_dict: ClassVar[dict[str, Any]]
    def __init__(self, db_config: DBConfig) -> None:
        """Initialises the system from `db_config` on the first construction only."""
    @classmethod
    def scan_mapper_xml(cls, mapper_xml_path: str | None) -> None:
        """Parses every *xml file below the directory by namespace."""
    @classmethod
    def add_datasource_config(cls, datasource_name: str, datasource_config: DataSource) -> None:
        """Registers one more datasource at run time."""
    @classmethod
    def remove_datasource(cls, datasource_name: str) -> None:
        """Drops a datasource from the registry."""
    @classmethod
    def async_engine(cls, datasource_name: str) -> AsyncEngine:
        """The AsyncEngine of a datasource for the running event loop (the one its async calls use)."""
    @classmethod
    async def dispose_async(cls) -> None:
        """Closes the pooled connections of every async engine of the running event loop."""

class _SwitchDatasource:
    """Scope selecting a datasource for a block (switch_datasource)."""

    def __enter__(self) -> str: ...
    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> bool: ...
    async def __aenter__(self) -> str: ...
    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> bool: ...
    def __call__(self, func: _F) -> _F:
        """Decorates `func` (sync or async) so that every call runs inside this scope."""

class _DbSession:
    """Scope handing out a raw ORM session of a datasource (db_session)."""

    def __enter__(self) -> Session: ...
    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> bool: ...
    async def __aenter__(self) -> AsyncSession:
        """An AsyncSession on the datasource's async engine of the running loop."""
    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> bool: ...
    def __call__(self, func: _F) -> _F:
        """Decorates `func` (sync or async) so that every call runs inside this scope."""

class _MapperTransaction:
    """Scope running a block in one transaction of a datasource (BaseMapper.switch_datasource)."""

    def __enter__(self) -> ZorvaneSqlSession: ...
    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> bool: ...
    async def __aenter__(self) -> AsyncSqlSession:
        """Begins an async transaction of this task; async statement calls inside the block join it."""
    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> bool: ...
    def __call__(self, func: _F) -> _F:
        """Decorates `func` (sync or async) so that every call runs inside this scope."""

class AsyncSqlSession:
    @property
    def sync_session(self) -> ZorvaneSqlSession: ...
    def __getattr__(self, name: str) -> Any: ...
    async def select_one(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> dict[str, Any] | None: ...
    async def select_list(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> list[dict[str, Any]]: ...
    async def select_page(
        self, sql: TextClause, page: Page, sql_param: dict[str, Any] | None = None
    ) -> dict[str, Any]: ...
    async def insert(self, sql: TextClause, sql_param: dict[str, Any] | None) -> Any: ...
    async def insert_list(self, sql: TextClause, sql_param: list[dict[str, Any]]) -> None: ...
    async def update(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int: ...
    async def delete(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int: ...
    async def execute_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        ori_params: dict[str, Any] | None = None,
        page: Page | None = None,
        return_type: Any = None,
        *,
        strict: bool = False,
    ) -> Any: ...

def get_current_db() -> str | None: ...

def switch_datasource(db: str, primary: bool = False) -> _SwitchDatasource: ...

def db_session(datasource_name: str | None = None) -> _DbSession: ...

def datasource(
    datasource_name: str,
    transactional: bool = False,
    nested: bool = False,
    *,
    retries: int = 0,
    retry_base_s: float = 0.005,
    retry_cap_s: float = 1.0,
    retry_lock_timeouts: bool = False,
    idempotent: bool = False,
) -> Callable[[_C], _C]: ...

def _create_wrapped_method(
    method: Callable[..., Any],
    datasource_name: str,
    transactional: bool,
    mark_decorated: bool = False,
    nested: bool = False,
) -> Callable[..., Any]: ...

def _decorate_class(cls: type[_C], datasource_name: str, transactional: bool, nested: bool = False) -> type[_C]: ...


# Statement-binding decorators

def select_one(sql: str) -> Callable[[_F], _F]: ...

def select_list(sql: str) -> Callable[[_F], _F]: ...

def select_page(sql: str) -> StatementDecorator[dict[str, Any]]: ...

def insert_list(sql: str, batch_size: int | None = None) -> StatementDecorator[None]: ...

def select_iter(sql: str, fetch_size: int = 1000) -> Callable[[_F], _F]: ...

class AsyncRowStream(AsyncIterator[Any]):
    """Async iterator over the rows of a streamed select; holds its connection until closed."""
    async def __anext__(self) -> Any: ...
    async def aclose(self) -> None:
        """Coroutine: releases the cursor and the connection."""

def insert(sql: str) -> StatementDecorator[Any]: ...

def update(sql: str) -> StatementDecorator[int]: ...

def delete(sql: str) -> StatementDecorator[int]: ...

def _sql_decorator(sql_str: str, sql_type: str) -> Callable[[_F], _F]: ...

def __combine_args(fun: Callable[..., Any], args: Sequence[Any], kwargs: dict[str, Any]) -> dict[str, Any]: ...

def __combine_args_page(
    fun: Callable[..., Any], args: Sequence[Any], kwargs: dict[str, Any]
) -> tuple[dict[str, Any], Page | None]: ...

def _prepare_sql(sql_str: str, params: Mapping[str, Any] | None) -> tuple[ZorvaneSqlSession, TextClause, dict[str, Any]]: ...

def result_type_handle(result_type: Any, result: dict[str, Any]) -> Any: ...

class BaseMapper(Generic[T]):
    """Generic base of mapper classes; parameterise it with a declarative table model."""

    datasource: ClassVar[dict[str, dict[str, Any]] | None]
    default_key: ClassVar[str | None]
    raw_sql: ClassVar[bool]
    _sig_cache: ClassVar[dict[tuple[type, str], inspect.Signature]]
    _type_cache: ClassVar[dict[type, type]]
    _wrapper_cache: dict[str, Callable[..., Any]]
    def __getattribute__(self, name: str, /) -> Any:
        """Public methods come back wrapped: routed to the mapper statement of the same id when there is one."""
    @classmethod
    def __session(cls) -> ZorvaneSqlSession:
        """The ZorvaneSqlSession of the current datasource."""
    @property
    def session(self) -> ZorvaneSqlSession:
        """The ZorvaneSqlSession of the current datasource, read anew on every access."""
    @classmethod
    def __type_parameter(cls) -> type[T]:
        """The model class given as the type argument of BaseMapper in the class's bases."""
    @staticmethod
    def __exclude_pk(pk_name: str | None, data_dict: dict[str, Any]) -> dict[str, Any]:
        """Removes the entry `pk_name` from `data_dict` itself when present; returns the dict."""
    @classmethod
    def _get_auto_pk(cls, model_class: type[DeclarativeBase]) -> str | None:
        """Name of the model's integer auto-increment primary-key column, or None."""
    def _convert_data(
        self, data: BaseModel | DeclarativeBase | dict[str, Any], model_class: type[DeclarativeBase], exclude_pk: bool = True
    ) -> dict[str, Any]:
        """A column dictionary from a pydantic model, a declarative model instance or a dict (copied)."""
    def add(self, data: Any) -> None:
        """Adds one object to the session and flushes."""
    def add_all(self, data: list[Any]) -> None:
        """Adds the objects of a list and flushes."""
    def save_batch(
        self,
        data: list[BaseModel | DeclarativeBase | dict[str, Any]],
        batch_size: int | None = None,
        on_conflict: Literal["ignore"] | None = None,
    ) -> None:
        """Inserts every row of a list once through the bulk path, `batch_size` rows per execution (all at once when None), rows with different keys in one transaction; on_conflict='ignore' skips rows that conflict with a unique key (the keys given are kept). Returns None."""
    def insert(self, data: BaseModel | DeclarativeBase | dict[str, Any]) -> Any:
        """Inserts one row (integer auto-increment key left to the database); returns the new key or None."""
    def upsert(
        self,
        data: BaseModel | DeclarativeBase | dict[str, Any],
        conflict: str | Iterable[str] | None = None,
        update: str | Iterable[str] | None = None,
    ) -> Any:
        """Inserts one row or, when it conflicts on the `conflict` columns (the primary key), updates the `update` columns (every other column of the row); returns the row's key."""
    def delete(self, del_statement: Delete) -> int:
        """Runs a delete statement; returns the row count."""
    def delete_by_id(self, id: int) -> int:
        """Deletes the row whose id is `id`; returns the row count."""
    def update(self, update_stat: Update, data: dict[str, Any] | None = None) -> int:
        """Runs an update statement with `data` as its parameters; returns the row count."""
    def update_by_id(self, data: dict[str, Any], selective: bool = False) -> int:
        """Updates the row of data['id'] to the values of `data` (only those not None when selective)."""
    def bulk_update_mappings(
        self, table_model: type[DeclarativeBase] | None = None, data_list: list[dict[str, Any]] | None = None
    ) -> None:
        """Updates rows from dictionaries holding their keys (table_model: the model)."""
    @overload
    def select_all(self, statement: None = None) -> list[T]:
        """All rows of the table as models, or of a select: entities or values, else rows."""
    @overload
    def select_all(self, statement: Select[Unpack[tuple[Any, ...]]]) -> list[Any]: ...
    @overload
    def select_one(self, statement: None = None) -> T | None:
        """The first row of the table as a model, or of a select; None when there is none."""
    @overload
    def select_one(self, statement: Select[Unpack[tuple[Any, ...]]]) -> Any: ...
    def select_by_id(self, id: int) -> T | None:
        """The model whose id is `id`, or None."""
    def select_all_by_sql(self, sql_str: str, sql_param: dict[str, Any] | None = None) -> list[dict[str, Any]]:
        """All rows of a textual select (:name parameters) as dictionaries."""
    def select_page_by_sql(
        self, sql_str: str, sql_param: dict[str, Any] | None = None, page: Page = ...
    ) -> dict[str, Any]:
        """One page of a textual select: the page dictionary."""
    def select_page_by_orm(self, statement: Select[Unpack[tuple[Any, ...]]], page: Page = ...) -> dict[str, Any]:
        """One page of a select and the total row count: {'list': [...], 'total': n}."""
    def _use_orm2(self, statement: Select[Unpack[tuple[Any, ...]]]) -> bool:
        """Whether the select yields one entity or one column per row (fetched as scalars)."""
    @classmethod
    def db_session(cls, datasource_name: str | None = None) -> AbstractContextManager[Session]:
        """Context manager yielding a new ORM session of the datasource (current one by default)."""
    @classmethod
    def switch_datasource(cls, datasource_name: str, nested: bool = False) -> _MapperTransaction:
        """Context manager (also `async with`) running a block on the datasource inside one transaction (with
        `nested`, a SAVEPOINT inside an open one)."""

class AsyncBaseMapper(BaseMapper[T]):
    """Generic base of async mapper classes: BaseMapper's database operations as coroutines."""

    async def add(self, data: Any) -> None: ...  # type: ignore[override]
    async def add_all(self, data: list[Any]) -> None: ...  # type: ignore[override]
    async def save_batch(  # type: ignore[override]
        self,
        data: list[BaseModel | DeclarativeBase | dict[str, Any]],
        batch_size: int | None = None,
        on_conflict: Literal["ignore"] | None = None,
    ) -> None: ...
    async def insert(self, data: BaseModel | DeclarativeBase | dict[str, Any]) -> Any: ...
    async def upsert(
        self,
        data: BaseModel | DeclarativeBase | dict[str, Any],
        conflict: str | Iterable[str] | None = None,
        update: str | Iterable[str] | None = None,
    ) -> Any: ...
    async def delete(self, del_statement: Delete) -> int: ...  # type: ignore[override]
    async def delete_by_id(self, id: int) -> int: ...  # type: ignore[override]
    async def update(self, update_stat: Update, data: dict[str, Any] | None = None) -> int: ...  # type: ignore[override]
    async def update_by_id(self, data: dict[str, Any], selective: bool = False) -> int: ...  # type: ignore[override]
    async def bulk_update_mappings(  # type: ignore[override]
        self, table_model: type[DeclarativeBase] | None = None, data_list: list[dict[str, Any]] | None = None
    ) -> None: ...
    @overload  # type: ignore[override]
    async def select_all(self, statement: None = None) -> list[T]: ...
    @overload
    async def select_all(self, statement: Select[Unpack[tuple[Any, ...]]]) -> list[Any]: ...
    @overload  # type: ignore[override]
    async def select_one(self, statement: None = None) -> T | None: ...
    @overload
    async def select_one(self, statement: Select[Unpack[tuple[Any, ...]]]) -> Any: ...
    async def select_by_id(self, id: int) -> T | None: ...  # type: ignore[override]
    async def select_all_by_sql(  # type: ignore[override]
        self, sql_str: str, sql_param: dict[str, Any] | None = None
    ) -> list[dict[str, Any]]: ...
    async def select_page_by_sql(  # type: ignore[override]
        self, sql_str: str, sql_param: dict[str, Any] | None = None, page: Page = ...
    ) -> dict[str, Any]: ...
    async def select_page_by_orm(self, statement: Select[Unpack[tuple[Any, ...]]], page: Page = ...) -> dict[str, Any]: ...  # type: ignore[override]
