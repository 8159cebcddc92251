"""Statement forms that read the same on every backend and entry point: IN lists."""
import asyncio

import pytest
import sqlalchemy as sa

from zorvane.mapper.vantrel import ParseMapper
from zorvane.zorvane import AsyncBaseMapper, BaseMapper, ZorvaneConfig, select_list, switch_datasource

pytestmark = pytest.mark.greenlet

STATEMENTS = {
    "named": "SELECT id FROM users WHERE name IN (#{names}) ORDER BY id",
    "not_ids": "SELECT id FROM users WHERE age > 0 AND id NOT IN #{ids} ORDER BY id",
}


class FormMapper(BaseMapper):
    def named(self, names) -> list[dict]: ...
    def not_ids(self, ids) -> list[dict]: ...


class AsyncFormMapper(AsyncBaseMapper):
    async def named(self, names) -> list[dict]: ...
    async def not_ids(self, ids) -> list[dict]: ...


AsyncFormMapper.__name__ = "FormMapper"


@pytest.fixture
def forms_ds(main_ds, tmp_path):
    body = "".join(f'<select id="{k}">{v}</select>' for k, v in STATEMENTS.items())
    (tmp_path / "mappers").mkdir()
    (tmp_path / "mappers" / "FormMapper.xml").write_text(f'<mapper namespace="FormMapper">{body}</mapper>')
    ZorvaneConfig.scan_mapper_xml(str(tmp_path / "mappers"))
    with main_ds.begin() as c:
        c.execute(sa.text("INSERT INTO users (name, age) VALUES ('a', 1), ('b', 2), ('c', 3)"))
    return main_ds


ENTRIES = ["decorator-sync", "decorator-async", "interface-sync", "interface-async"]


def caller(entry):
    kind, mode = entry.split("-")
    is_async = mode == "async"
    if kind == "decorator":
        if is_async:
            async def named(names) -> list[dict]: ...
            async def not_ids(ids) -> list[dict]: ...
        else:
            def named(names) -> list[dict]: ...
            def not_ids(ids) -> list[dict]: ...
        fns = {"named": select_list(STATEMENTS["named"])(named), "not_ids": select_list(STATEMENTS["not_ids"])(not_ids)}
    else:
        mapper = AsyncFormMapper() if is_async else FormMapper()
        fns = {k: getattr(mapper, k) for k in STATEMENTS}

    def call(name, *args):
        if not is_async:
            with switch_datasource("main"):
                return fns[name](*args)

        async def go():
            try:
                with switch_datasource("main"):
                    return await fns[name](*args)
            finally:
                await ZorvaneConfig.dispose_async()
        return asyncio.run(go())
    return lambda name, *args: [r["id"] for r in call(name, *args)]


@pytest.mark.parametrize("entry", ENTRIES)
def test_in_lists_expand_and_empty_lists_match_nothing_or_everything(forms_ds, entry):
    ids = caller(entry)
    assert ids("named", ["a", "c"]) == [1, 3]
    assert ids("named", ("c",)) == [3]
    assert ids("named", "b") == [2]  # a single value binds as it is
    assert ids("named", []) == []
    assert ids("not_ids", [2, 3]) == [1]
    assert ids("not_ids", ()) == [1, 2, 3]


@pytest.mark.parametrize("db_type", [None, "mysql", "postgresql"])
def test_in_list_text_per_database(db_type):
    sql = "SELECT 1 FROM t WHERE a IN ( /* x */ #{a} ) AND b NOT IN #{b} AND c = ANY(#{c}) AND d IN (#{d}, #{e})"
    params = {"a": [1, 2], "b": [], "c": [5], "d": [6], "e": 7}
    clause, values = ParseMapper.to_prepared_statement(sql, params, db_type=db_type)
    empty = "<> ALL('{}')" if db_type == "postgresql" else "NOT IN (SELECT NULL WHERE 1=0)"
    assert clause.text == f"SELECT 1 FROM t WHERE a IN (:a_in_0, :a_in_1) AND b {empty} AND c = ANY(:c) AND d IN (:d, :e)"
    assert values == {"a_in_0": 1, "a_in_1": 2, "c": [5], "d": [6], "e": 7}
    again, _ = ParseMapper.to_prepared_statement(sql, dict(params, a=[3, 4]), db_type=db_type)
    assert again is clause  # made once per text and list sizes
