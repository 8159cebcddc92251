"""One statement through every entry point: arguments bind as a Python call would, and the results agree."""
import asyncio
from typing import AsyncIterator, Iterator

import pytest
import sqlalchemy as sa

from zorvane.db.ostrane import Page
from zorvane.zorvane import AsyncBaseMapper, BaseMapper, ZorvaneConfig, select_iter, select_list, select_page, switch_datasource

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
