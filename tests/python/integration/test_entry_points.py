"""One statement through every entry point: arguments bind as a Python call would, and the results agree."""
import asyncio
import datetime
import decimal
import enum
import json
import uuid
from typing import AsyncIterator, Iterator

import pytest
import sqlalchemy as sa

from zorvane.db.ostrane import Page
from zorvane.zorvane import (
    AsyncBaseMapper,
    BaseMapper,
    ZorvaneConfig,
    select_iter,
    select_list,
    select_one,
    select_page,
    switch_datasource,
)

pytestmark = pytest.mark.greenlet

SQL = "SELECT name FROM users WHERE age >= #{min_age} ORDER BY id"


class EntryMapper(BaseMapper):
    def listed(self, min_age: int) -> list[dict]: ...
    def paged(self, min_age: int, page: "Page") -> list[dict]: ...  # a string annotation, left out below
    def streamed(self, min_age: int) -> Iterator[dict]: ...


class AsyncEntryMapper(AsyncBaseMapper):
    async def listed(self, min_age: int) -> list[dict]: ...


AsyncEntryMapper.__name__ = "EntryMapper"  # the namespace is the class name


@select_list(SQL)
def listed(min_age: int) -> list[dict]: ...


@select_list(SQL)
async def alisted(min_age: int) -> list[dict]: ...


@select_page(SQL)
def paged(min_age: int, page: Page) -> list[dict]: ...


@select_iter(SQL)
def streamed(min_age: int) -> Iterator[dict]: ...


ENTRIES = {
    "decorator-sync": listed, "decorator-async": alisted, "decorator-page": paged, "decorator-iter": streamed,
    "interface-sync": lambda *a, **k: EntryMapper().listed(*a, **k),
    "interface-async": lambda *a, **k: AsyncEntryMapper().listed(*a, **k),
    "interface-page": lambda *a, **k: EntryMapper().paged(*a, **k),
    "interface-iter": lambda *a, **k: EntryMapper().streamed(*a, **k),
}


@pytest.fixture
def entry_ds(main_ds, tmp_path):
    (tmp_path / "mappers").mkdir()
    statements = "".join(f'<select id="{m}">{SQL.replace(">", "&gt;")}</select>' for m in ("listed", "paged", "streamed"))
    (tmp_path / "mappers" / "EntryMapper.xml").write_text(f'<mapper namespace="EntryMapper">{statements}</mapper>')
    ZorvaneConfig.scan_mapper_xml(str(tmp_path / "mappers"))
    with main_ds.begin() as c:
        c.execute(sa.text("INSERT INTO users (name, age) VALUES ('a', 1), ('b', 2), ('c', 3)"))
    return main_ds


def call(entry, *args, **kwargs):
    """Names the entry point returns, inside a scope on "main"; pages and streams read whole."""
    def names(result):
        rows = result["list"] if isinstance(result, dict) else list(result)
        return [r["name"] for r in rows]

    if entry.endswith("async"):
        async def go():
            try:
                with switch_datasource("main"):
                    return names(await ENTRIES[entry](*args, **kwargs))
            finally:
                await ZorvaneConfig.dispose_async()
        return asyncio.run(go())
    with switch_datasource("main"):
        return names(ENTRIES[entry](*args, **kwargs))


@pytest.mark.parametrize("entry", ENTRIES)
def test_every_entry_point_binds_like_a_call(entry_ds, entry):
    assert call(entry, 2) == call(entry, min_age=2) == ["b", "c"]
    for args, kwargs, named in [((), {}, "min_age"), ((2,), {"min_agee": 3}, "min_agee"), ((2, 3, 4), {}, "positional"),
                                ((2,), {"min_age": 2}, "min_age")]:
        with pytest.raises(TypeError, match=named):
            call(entry, *args, **kwargs)



def test_base_mapper_binds_like_a_call(entry_ds):
    """The base mapper's own methods bind with the same errors, and agree on the rows."""
    sql = "SELECT name FROM users WHERE age >= :min_age ORDER BY id"
    with switch_datasource("main"):
        rows = EntryMapper().select_all_by_sql(sql, {"min_age": 2})
        page = EntryMapper().select_page_by_sql(sql_str=sql, sql_param={"min_age": 2}, page=Page(1, 1))
        assert [r["name"] for r in rows] == call("decorator-sync", 2)
        assert [r["name"] for r in page["list"]] == ["b"]
        for args, kwargs, named in [((), {}, "sql_str"), ((sql,), {"sql_paramm": {}}, "sql_paramm"),
                                    ((sql, {}, 3), {}, "positional"), ((sql,), {"sql_str": sql}, "sql_str")]:
            with pytest.raises(TypeError, match=named):
                EntryMapper().select_all_by_sql(*args, **kwargs)


class Colour(enum.Enum):
    RED = 1


UUID = "a8098c1a-f86e-11da-bd1a-00112444be1e"
# (annotation, SQL, value): one column converted by the annotation, or a row as a tuple
CONVERSIONS = [
    (bool, "SELECT 1 AS v", True),
    (datetime.date, "SELECT '1990-01-02' AS v", datetime.date(1990, 1, 2)),
    (datetime.datetime, "SELECT '1990-01-02 03:04:05' AS v", datetime.datetime(1990, 1, 2, 3, 4, 5)),
    (Colour, "SELECT 1 AS v", Colour.RED),
    (decimal.Decimal, "SELECT '1.10' AS v", decimal.Decimal("1.10")),
    (uuid.UUID, f"SELECT '{UUID}' AS v", uuid.UUID(UUID)),
    (int | None, "SELECT NULL AS v", None),
    (tuple, "SELECT 1 AS a, 'x' AS b", (1, "x")),
]


class Converted(BaseMapper):
    pass


def converted(kind, annotation, sql):
    """A function returning `annotation` (a list of it for "list") through a decorator or a mapper method."""
    returns = list[annotation] if kind.endswith("list") else annotation
    if kind.startswith("decorator"):
        def fn() -> returns: ...
        return (select_list if kind.endswith("list") else select_one)(sql)(fn)

    def method(self) -> returns: ...
    method.__name__ = "pick"
    setattr(Converted, "pick", method)
    return Converted().pick


@pytest.fixture
def converting_ds(main_ds, tmp_path):
    def scan(sql):
        folder = tmp_path / f"m{abs(hash(sql))}"
        folder.mkdir()
        (folder / "Converted.xml").write_text(f'<mapper namespace="Converted"><select id="pick">{sql}</select></mapper>')
        ZorvaneConfig.scan_mapper_xml(str(folder))
    return scan


@pytest.mark.parametrize("kind", ["decorator-one", "decorator-list", "interface-one", "interface-list"])
@pytest.mark.parametrize("annotation, sql, value", CONVERSIONS)
def test_results_follow_the_return_annotation(converting_ds, kind, annotation, sql, value):
    converting_ds(sql)
    with switch_datasource("main"):
        got = converted(kind, annotation, sql)()
    assert got == ([value] if kind.endswith("list") else value)
    assert [type(v) for v in (got if kind.endswith("list") else [got])] == [type(value)]
    if annotation is bool:  # two columns under a scalar annotation
        converting_ds("SELECT 1 AS a, 2 AS b")
        with switch_datasource("main"), pytest.raises(TypeError, match="please check result type") as error:
            converted(kind, annotation, "SELECT 1 AS a, 2 AS b")()
        assert "2 columns: a, b" in "".join(getattr(error.value, "__notes__", []))


@pytest.mark.parametrize("value", [decimal.Decimal("1.10"), datetime.date(1990, 1, 2), datetime.time(3, 4, 5),
                                   datetime.datetime(1990, 1, 2, 3, 4, 5), uuid.UUID(UUID), Colour.RED, {"a": [1, "é"]}])
def test_parameters_bind_and_read_back_equal(main_ds, value):
    annotation = dict if isinstance(value, dict) else type(value)

    @select_one("SELECT #{v} AS v")
    def echo(v: annotation) -> annotation: ...

    with switch_datasource("main"):
        got = echo(value)
    if isinstance(value, dict):  # the row; JSON text where the database has no JSON parameter type
        got = got["v"] if isinstance(got["v"], dict) else json.loads(got["v"])
    assert got == value
