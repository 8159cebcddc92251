"""Datasource selection, session scopes, method wrapping and class decoration on real databases."""
import asyncio
import threading

import pytest
import sqlalchemy as sa

from conftest import count_rows, create_user_table, datasource_decl
from zorvane.zorvane import (
    BaseMapper,
    DataSource,
    DBConfig,
    ZorvaneConfig,
    _create_wrapped_method,
    datasource,
    datasource_context,
    db_session,
    get_current_db,
    switch_datasource,
)

INSERT = sa.text("INSERT INTO users (name, age) VALUES (:name, :age)")


@pytest.fixture
def sources(fresh_config, tmp_path):
    """Datasources a (primary), b and c on SQLite files."""
    kw = {n: {"db_type": "sqlite", "sqlite_path": str(tmp_path / f"{n}.db")} for n in "abc"}
    ZorvaneConfig(DBConfig(primary="a", **kw))
    engines = {n: e["db"] for n, e in ZorvaneConfig.datasource.items()}
    for e in engines.values():
        create_user_table(e)
    return engines


def insert_via(name, who):
    ZorvaneConfig.datasource[name]["kelvor"].insert(INSERT, {"name": who, "age": 1})


def test_current_db_follows_nested_scopes(sources):
    assert get_current_db() == "a"
    with switch_datasource("b") as db:
        assert db == "b" and get_current_db() == "b"
        with switch_datasource("c"):
            assert get_current_db() == "c"
        assert get_current_db() == "b"
    assert get_current_db() == "a" and datasource_context.get() is None


def test_empty_selection_means_primary(sources):
    token = datasource_context.set("")
    try:
        assert get_current_db() == "a"
    finally:
        datasource_context.reset(token)


def test_raw_sql_prints_switches(sources, capsys):
    BaseMapper.raw_sql = True
    with switch_datasource("b"):
        with switch_datasource("c"):
            pass
    assert capsys.readouterr().out.splitlines() == [
        "change_datasource: None -> b",
        "change_datasource: b -> c",
        "change_datasource: c -> b",
        "change_datasource: b -> None",
    ]


def test_unknown_datasource_keeps_callers_selection(sources):
    with switch_datasource("b"):
        with pytest.raises(ValueError, match="^Unknown data source$"):
            with switch_datasource("nope"):
                pytest.fail("block must not run")
        assert get_current_db() == "b"
    with pytest.raises(TypeError):
        switch_datasource(3)


def test_switch_datasource_as_decorator_and_error_restores(sources):
    @switch_datasource("c")
    def where_am_i():
        return get_current_db()

    assert where_am_i() == "c" and where_am_i() == "c" and get_current_db() == "a"
    with pytest.raises(ZeroDivisionError):
        with switch_datasource("b"):
            1 / 0
    assert get_current_db() == "a"


def test_selection_is_per_thread_and_per_task(sources):
    seen = {}
    barrier = threading.Barrier(2)

    def worker(name):
        with switch_datasource(name):
            barrier.wait()
            seen[name] = get_current_db()
            barrier.wait()

    threads = [threading.Thread(target=worker, args=(n,)) for n in "bc"]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen == {"b": "b", "c": "c"} and get_current_db() == "a"

    async def task(name, started):
        with switch_datasource(name):
            started.set()
            await asyncio.sleep(0.01)
            return get_current_db()

    async def main():
        e1, e2 = asyncio.Event(), asyncio.Event()
        return await asyncio.gather(task("b", e1), task("c", e2))

    assert asyncio.run(main()) == ["b", "c"]


def test_db_session_commits_rolls_back_and_closes(sources):
    with db_session() as s:
        s.execute(INSERT, {"name": "x", "age": 1})
    assert count_rows(sources["a"]) == 1
    with pytest.raises(RuntimeError):
        with db_session("b") as s:
            s.execute(INSERT, {"name": "y", "age": 2})
            raise RuntimeError("undo")
    assert count_rows(sources["b"]) == 0
    assert all(e.pool.checkedout() == 0 for e in sources.values())
    with pytest.raises(KeyError):
        with db_session("nope"):
            pass
    with pytest.raises(TypeError):
        db_session(5)


def test_db_session_as_decorator_uses_current_datasource(sources):
    @db_session("c")
    def write():
        ZorvaneConfig.datasource["c"]["kelvor"].insert(INSERT, {"name": "d", "age": 3})

    write()
    assert count_rows(sources["c"]) == 1


@pytest.mark.parametrize("fail", [False, True])
def test_transactional_class_commits_once_or_leaves_nothing(sources, fail):
    commits = []
    sa.event.listen(sources["b"], "commit", lambda conn: commits.append(1))

    @datasource("b", transactional=True)
    class Service:
        def two_inserts(self):
            insert_via(get_current_db(), "one")
            assert count_rows(sources["b"]) == 0  # not visible before the commit
            insert_via(get_current_db(), "two")
            if fail:
                raise LookupError("boom")
            return "done"

        @datasource("c")
        def on_c(self):
            insert_via(get_current_db(), "cee")
            return get_current_db()

        def __str__(self):
            return f"service on {get_current_db()}"

    svc = Service()
    assert svc._datasource_name == "b" and svc._transactional is True
    if fail:
        with pytest.raises(LookupError):
            svc.two_inserts()
        assert count_rows(sources["b"]) == 0
    else:
        assert svc.two_inserts() == "done"
        assert count_rows(sources["b"]) == 2 and len(commits) == 1
    assert svc.on_c() == "c" and count_rows(sources["c"]) == 1
    assert str(svc) == "service on a"  # special methods run unwrapped
    assert get_current_db() == "a"


def test_wrapper_keeps_metadata_and_methods_work_inside_init(sources):
    @datasource("b")
    def job(x, y=2):
        """Adds on b."""
        return get_current_db(), x + y

    assert (job.__name__, job.__doc__, job._datasource_decorated) == ("job", "Adds on b.", True)
    assert job(1, y=5) == ("b", 6)
    import inspect

    assert str(inspect.signature(job)) == "(x, y=2)"

    @datasource("c")
    class Early:
        def __init__(self):
            self.where = self.current()

        def current(self):
            return get_current_db()

    assert Early().where == "c"
    plain = _create_wrapped_method(lambda: get_current_db(), "b", False)
    assert plain() == "b" and not hasattr(plain, "_datasource_decorated")


def test_decorating_twice_keeps_the_last_decoration(sources):
    class Svc:
        def where(self):
            return get_current_db()

    datasource("b")(Svc)
    assert datasource("c")(Svc) is Svc
    assert Svc()._datasource_name == "c" and Svc().where() == "c"


def test_transactional_function_on_an_added_datasource(sources, backend_url):
    ZorvaneConfig.add_datasource_config("m", DataSource(**datasource_decl(backend_url)))
    sources["m"] = ZorvaneConfig.datasource["m"]["db"]
    create_user_table(sources["m"])

    @datasource("m", transactional=True)
    def write(fail):
        insert_via("m", "x")
        insert_via("m", "y")
        if fail:
            raise ValueError("nope")

    with pytest.raises(ValueError):
        write(True)
    assert count_rows(sources["m"]) == 0
    write(False)
    assert count_rows(sources["m"]) == 2
