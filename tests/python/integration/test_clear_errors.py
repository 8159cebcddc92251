"""Mistakes that must fail loudly on every backend, sync and async: a mapper method that finds no
statement, page bounds below 1, and paging a statement that has its own LIMIT."""
import asyncio

import pytest
import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from zorvane.db.ostrane import Page, SqlTemplate
from zorvane.exception import StatementNotFoundError
from zorvane.zorvane import AsyncBaseMapper, BaseMapper, ZorvaneConfig, select_page, switch_datasource

MAPPER = """<mapper namespace="ItemMapper">
  <select id="names">SELECT name FROM users ORDER BY id</select>
  <select id="gone">SELECT id FROM no_such_table ORDER BY id</select>
  <select id="first_five">SELECT id FROM users ORDER BY id LIMIT 5</select>
</mapper>"""
GONE, FIRST_FIVE = "SELECT id FROM no_such_table ORDER BY id", "SELECT id FROM users ORDER BY id LIMIT 5;"


class Base(DeclarativeBase):
    pass


class Gone(Base):
    __tablename__ = "no_such_table"
    id: Mapped[int] = mapped_column(primary_key=True)


class ItemMapper(BaseMapper[Gone]):
    def names(self) -> list[dict]: ...
    def nmaes(self) -> list[dict]: ...
    def documented(self) -> list[dict]:
        """Rows of the statement of the same id."""
    def passed(self) -> list[dict]:
        pass
    def own(self) -> str:
        return "own body"
    def gone(self, page: Page) -> list[dict]: ...
    def first_five(self, page: Page) -> list[dict]: ...

    @select_page(GONE)
    def gone_decorated(self, page: Page) -> list[dict]: ...

    @select_page(FIRST_FIVE)
    def first_five_decorated(self, page: Page) -> list[dict]: ...


class AsyncItemMapper(AsyncBaseMapper[Gone]):
    async def names(self) -> list[dict]: ...
    async def nmaes(self) -> list[dict]: ...
    async def documented(self) -> list[dict]:
        """Rows of the statement of the same id."""
    async def passed(self) -> list[dict]:
        pass
    async def own(self) -> str:
        return "own body"
    async def gone(self, page: Page) -> list[dict]: ...
    async def first_five(self, page: Page) -> list[dict]: ...

    @select_page(GONE)
    async def gone_decorated(self, page: Page) -> list[dict]: ...

    @select_page(FIRST_FIVE)
    async def first_five_decorated(self, page: Page) -> list[dict]: ...


AsyncItemMapper.__name__ = "ItemMapper"  # the namespace is the class name
GhostMapper = type("GhostMapper", (ItemMapper,), {})
AsyncGhostMapper = type("GhostMapper", (AsyncItemMapper,), {})
MODES = ["sync", pytest.param("async", marks=pytest.mark.greenlet)]


@pytest.fixture
def items(main_ds, tmp_path):
    """Datasource "main" (not the primary) with 15 users and the mapper file of ItemMapper."""
    with main_ds.begin() as c:
        c.execute(sa.text("INSERT INTO users (name) VALUES (:n)"), [{"n": f"u{i}"} for i in range(1, 16)])
    (tmp_path / "mappers").mkdir()
    (tmp_path / "mappers" / "ItemMapper.xml").write_text(MAPPER)
    ZorvaneConfig.scan_mapper_xml(str(tmp_path / "mappers"))
    return tmp_path / "mappers" / "ItemMapper.xml"


def call(mode, mappers, method, *args):
    """mapper.method(*args) of the sync or async mapper (instances or classes) on datasource "main",
    awaited in a loop of its own in async mode."""
    mapper = mappers[mode == "async"]
    mapper = mapper() if isinstance(mapper, type) else mapper
    if mode == "sync":
        with switch_datasource("main"):
            return getattr(mapper, method)(*args)

    async def main():
        try:
            with switch_datasource("main"):
                return await getattr(mapper, method)(*args)
        finally:
            await ZorvaneConfig.dispose_async()

    return asyncio.run(main())


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("method", ["nmaes", "documented", "passed"])
def test_an_empty_method_without_statement_raises(items, mode, method):
    mappers = (ItemMapper(), AsyncItemMapper())
    assert call(mode, mappers, "names")[:2] == [{"name": "u1"}, {"name": "u2"}]
    assert call(mode, mappers, "own") == call(mode, (GhostMapper, AsyncGhostMapper), "own") == "own body"
    for _ in range(2):  # the second call takes the cached decision
        with pytest.raises(StatementNotFoundError) as info:
            call(mode, mappers, method)
        assert str(info.value).startswith(f"ItemMapper.{method} has no statement on datasource 'main': ")
        assert f"the mapper file of namespace 'ItemMapper' ({items}) has no statement '{method}'" in str(info.value)
    with pytest.raises(StatementNotFoundError, match="no mapper file loaded for it declares namespace 'GhostMapper'"):
        call(mode, (GhostMapper, AsyncGhostMapper), "names")


PAGERS = {  # how one page is asked for; the mapper argument of call() picks the statement
    "interface": lambda limited: "first_five" if limited else "gone",
    "decorator": lambda limited: "first_five_decorated" if limited else "gone_decorated",
    "by_sql": lambda limited: ("select_page_by_sql", FIRST_FIVE if limited else GONE, None),
}


def page_of(mode, pager, limited, page):
    target = PAGERS[pager](limited)
    method, *args = (target,) if isinstance(target, str) else target
    return call(mode, (ItemMapper, AsyncItemMapper), method, *args, page)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("pager", [*PAGERS, "by_orm"])
@pytest.mark.parametrize("page", [Page(0, 5), Page(1, -3), Page(2, 0)], ids=["number 0", "size -3", "size 0"])
def test_page_bounds_below_one_fail_before_any_sql(items, mode, pager, page):
    # The statements read a table that does not exist: SQL that ran would fail otherwise.
    with pytest.raises(ValueError, match=r"^page (number|size) -?\d is below 1"):
        if pager == "by_orm":
            call(mode, (ItemMapper, AsyncItemMapper), "select_page_by_orm", sa.select(Gone), page)
        else:
            page_of(mode, pager, False, page)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("pager", PAGERS)
def test_a_statement_with_its_own_limit_is_paged_within_it(items, mode, pager):
    assert page_of(mode, pager, True, Page(2, 2)) == {"pageNum": 2, "pageSize": 2, "total": 5,
                                                      "list": [{"id": 3}, {"id": 4}]}
    assert page_of(mode, pager, True, Page(3, 2))["list"] == [{"id": 5}]


def test_template_pages_own_limits_and_checks_bounds(items, main_ds):
    tpl = SqlTemplate(main_ds)
    assert tpl.select_page(sa.text(FIRST_FIVE), Page.from_offset(3, 4))["list"] == [{"id": 4}, {"id": 5}]
    with pytest.raises(ValueError, match="page size 0 is below 1"):
        tpl.select_page(sa.text(GONE), Page(1, 0))
