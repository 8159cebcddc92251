"""A transaction rolled back at any level refuses the rest of its block; nested=True scopes are savepoints.

Every scenario runs on each backend, once with the sync forms and once with the async ones."""
import contextlib

import pytest
import sqlalchemy as sa

from conftest import count_rows, names, run
from zorvane.exception import TransactionRolledBackError
from zorvane.zorvane import BaseMapper, datasource, insert, switch_datasource

pytestmark = pytest.mark.greenlet
ADD = "INSERT INTO users (name, age) VALUES (#{name}, 1)"


class SyncDao:
    @insert(ADD)
    def add(self, name: str) -> int: ...


class AsyncDao:
    @insert(ADD)
    async def add(self, name: str) -> int: ...


@contextlib.asynccontextmanager
async def sync_scope(**kw):
    with BaseMapper.switch_datasource("main", **kw) as s:
        yield s


class Api:
    """The scenario's operations in one form: scopes for `async with`, statements to await."""

    def __init__(self, mode):
        self.mode = mode
        self.scope = sync_scope if mode == "sync" else (lambda **kw: BaseMapper.switch_datasource("main", **kw))

    async def add(self, name):
        if self.mode == "sync":
            with switch_datasource("main"):  # a selection scope joins the transaction too
                return SyncDao().add(name)
        return await AsyncDao().add(name)


@pytest.fixture(params=["sync", "async"])
def api(request, main_ds):
    with main_ds.begin() as c:
        c.exec_driver_sql("CREATE UNIQUE INDEX users_name ON users (name)")
    return Api(request.param)




async def fail_inside(api, how):
    if how == "inner scope":
        async with api.scope():
            await api.add("inner")
            raise LookupError("inner fails")
    await api.add("outer-1")  # a duplicate: the server's IntegrityError


@pytest.mark.parametrize("how, cause", [("inner scope", LookupError), ("integrity", sa.exc.IntegrityError)])
def test_a_caught_failure_leaves_the_block_rollback_only(api, main_ds, how, cause):
    async def block():
        async with api.scope():
            await api.add("outer-1")
            with pytest.raises(cause):
                await fail_inside(api, how)
            with pytest.raises(TransactionRolledBackError, match=f"datasource 'main'.*{cause.__name__}") as refused:
                await api.add("outer-2")
            assert isinstance(refused.value.__cause__, cause) and count_rows(main_ds) == 0

    with pytest.raises(TransactionRolledBackError, match="nothing done in it was committed") as ended:
        run(block())
    assert isinstance(ended.value.__cause__, cause) and names(main_ds) == []

    async def next_block():
        async with api.scope():
            await api.add("next")

    run(next_block())
    assert names(main_ds) == ["next"] and main_ds.pool.checkedout() == 0


def test_a_transactional_service_calling_a_failing_one(api, main_ds):
    if api.mode == "sync":
        @datasource("main", transactional=True)
        class Service:
            def inner(self):
                SyncDao().add("inner")
                raise LookupError("inner fails")

            def outer(self):
                SyncDao().add("outer-1")
                with pytest.raises(LookupError):
                    self.inner()
                with pytest.raises(TransactionRolledBackError):
                    SyncDao().add("outer-2")
        with pytest.raises(TransactionRolledBackError):
            Service().outer()
    else:
        @datasource("main", transactional=True)
        class AsyncService:
            async def inner(self):
                await AsyncDao().add("inner")
                raise LookupError("inner fails")

            async def outer(self):
                await AsyncDao().add("outer-1")
                with pytest.raises(LookupError):
                    await self.inner()
                with pytest.raises(TransactionRolledBackError):
                    await AsyncDao().add("outer-2")
        with pytest.raises(TransactionRolledBackError):
            run(AsyncService().outer())
    assert names(main_ds) == []


@pytest.mark.parametrize("decorated", [False, True], ids=["scope", "decorator"])
def test_a_nested_scope_is_a_savepoint(api, main_ds, decorated):
    @datasource("main", transactional=True, nested=True)
    def sync_attempt(name, fail):
        SyncDao().add(name)
        if fail:
            raise LookupError("undone to the savepoint")

    @datasource("main", nested=True)  # nested implies transactional
    async def async_attempt(name, fail):
        await AsyncDao().add(name)
        if fail:
            raise LookupError("undone to the savepoint")

    async def attempt(name, fail=False):
        if decorated:
            return sync_attempt(name, fail) if api.mode == "sync" else await async_attempt(name, fail)
        async with api.scope(nested=True):
            await api.add(name)
            if fail:
                raise LookupError("undone to the savepoint")

    async def block():
        async with api.scope():
            await attempt("first")  # a savepoint as the transaction's first statement
            assert count_rows(main_ds) == 0
            await api.add("outer-1")
            with pytest.raises(LookupError):
                await attempt("inner", fail=True)
            with pytest.raises(sa.exc.IntegrityError):
                await attempt("outer-1")
            await attempt("kept")
            with pytest.raises(TransactionRolledBackError, match="savepoint .* IntegrityError"):
                async with api.scope(nested=True):
                    with pytest.raises(sa.exc.IntegrityError):
                        await api.add("outer-1")
            await api.add("outer-2")

    run(block())
    assert names(main_ds) == ["first", "kept", "outer-1", "outer-2"]


@pytest.mark.parametrize("fail", [False, True])
def test_nested_outside_a_transaction_is_a_transaction(api, main_ds, fail):
    async def block():
        async with api.scope(nested=True):
            await api.add("a")
            await api.add("b")
            assert count_rows(main_ds) == 0
            if fail:
                raise LookupError("undo")

    with pytest.raises(LookupError) if fail else contextlib.nullcontext():
        run(block())
    assert names(main_ds) == ([] if fail else ["a", "b"])
