"""Type-checked use of every public entry point: `make typecheck` runs mypy --strict on it.

Nothing here runs at import; assert_type pins what the stubs promise (a decorator keeps the
decorated signature, BaseMapper[User] returns User, context managers yield their real types).
"""
import dataclasses
from typing import Any, assert_type

import sqlalchemy as sa
from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

from zorvane.cli import main as cli_main
from zorvane.db.kelvor import ZorvaneSqlSession, results_handle
from zorvane.db.ostrane import Page, PageInfo, SqlTemplate, count_query, limit_query
from zorvane.exception import DBException
from zorvane.mapper.vantrel import Decision, Explanation, ParseMapper
from zorvane.utils.corvint import convert_cdata, param_str, replace_cdata, sql_string_format
from zorvane.utils.drumsel import PlaceholderParam, get_sql_param
from zorvane.utils.malvey import replace_sql_first, replace_sql_last
from zorvane.utils.pennick import get_type_from_string, is_container_type, is_result_class
from zorvane.utils.tibbet import like, time_format
from zorvane.zorvane import (
    AsyncBaseMapper,
    AsyncSqlSession,
    BaseMapper,
    DataSource,
    DBConfig,
    ZorvaneConfig,
    datasource,
    db_session,
    delete,
    get_current_db,
    insert,
    insert_list,
    select_list,
    select_one,
    select_page,
    switch_datasource,
    update,
)


class Base(DeclarativeBase):
    pass


class User(Base):
    __tablename__ = "user"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str]


@dataclasses.dataclass
class Row:
    id: int
    name: str


class UserMapper(BaseMapper[User]):
    def find(self, name: str) -> list[User]: ...


class AsyncUserMapper(AsyncBaseMapper[User]):
    async def find(self, name: str) -> list[User]: ...


class Dao:
    @select_one("select id, name from user where id = #{id}")
    def one(self, id: int) -> Row | None: ...

    @select_list("select id, name from user")
    def many(self) -> list[Row]: ...

    @select_page("select id, name from user")
    def page(self, page: Page | None = None) -> list[Row]: ...

    @insert("insert into user (name) values (#{name})")
    def add(self, name: str) -> int: ...

    @insert_list("insert into user (name) values (:name)")
    def add_all(self, data: list[dict[str, Any]]) -> None: ...

    @update("update user set name = #{name} where id = #{id}")
    def rename(self, id: int, name: str) -> int: ...

    @delete("delete from user where id = #{id}")
    def remove(self, id: int) -> int: ...

    @select_list("select id, name from user")
    async def many_async(self) -> list[Row]: ...

    @select_page("select id, name from user")
    async def page_async(self, page: Page) -> list[Row]: ...


@datasource("main", transactional=True)
class Service:
    def run(self) -> str:
        return "ok"


@switch_datasource("main")
def in_scope(x: int) -> str:
    return str(x)


def sync_usage() -> None:
    ZorvaneConfig(DBConfig(primary="main", mapper_xml_path="mappers", main={"db_type": "sqlite", "sqlite_path": "a.db"}))
    ZorvaneConfig.add_datasource_config("r", DataSource("sqlite", sqlite_path="r.db"))
    ZorvaneConfig.scan_mapper_xml("mappers")
    ZorvaneConfig.remove_datasource("r")
    assert_type(get_current_db(), str | None)

    dao = Dao()
    assert_type(dao.one(1), Row | None)
    assert_type(dao.many(), list[Row])
    assert_type(dao.page(Page(1, 10)), dict[str, Any])
    assert_type(dao.add("ada"), Any)
    assert_type(dao.add_all([{"name": "x"}]), None)
    assert_type(dao.rename(1, "bo"), int)
    assert_type(dao.remove(1), int)
    assert_type(Service().run(), str)
    assert_type(in_scope(1), str)

    users = UserMapper()
    assert_type(users.find("ada"), list[User])
    assert_type(users.select_by_id(1), User | None)
    assert_type(users.select_all(), list[User])
    assert_type(users.select_one(), User | None)
    assert_type(users.select_all(sa.select(User.name)), list[Any])
    assert_type(users.update_by_id({"id": 1, "name": "x"}), int)
    assert_type(users.delete_by_id(1), int)
    assert_type(users.select_page_by_sql("select 1", {}, Page(1, 5)), dict[str, Any])
    with UserMapper.switch_datasource("main") as tx:
        assert_type(tx, ZorvaneSqlSession)
        assert_type(tx.select_list(sa.text("select 1")), list[dict[str, Any]])
    with UserMapper.db_session() as s1, db_session("main") as s2:
        assert_type(s1, Session)
        assert_type(s2, Session)
    with switch_datasource("main") as name:
        assert_type(name, str)

    tpl = SqlTemplate(sa.create_engine("sqlite://"))
    assert_type(tpl.select_one(sa.text("select 1")), dict[str, Any] | None)
    assert_type(tpl.select_page(sa.text("select 1"), Page(1, 2)), dict[str, Any])
    with tpl.get_session() as s3:
        assert_type(s3, Session)
    assert_type(count_query(sa.text("select 1")), sa.TextClause)
    assert_type(limit_query(sa.text("select 1"), Page(1, 2)), sa.TextClause)
    assert_type(PageInfo(total=1).total, int | None)
    assert_type(results_handle([], Row, list[Row]), Any)

    mapper = ParseMapper("mappers/UserMapper.xml")
    assert_type(mapper.get_sql("find", {"name": "x"})[0], sa.TextClause)
    explanation = mapper.explain("find", {})
    assert_type(explanation, Explanation)
    assert_type(explanation.decisions, list[Decision])
    assert_type(explanation.decisions[0].outcome, bool | int | str)

    assert_type(DBException("x").message, Any)
    assert_type(cli_main(["lint", "mappers"]), int)
    assert_type(get_sql_param("#{a}"), list[PlaceholderParam])
    assert_type(sql_string_format("a") + param_str(1) + convert_cdata("a") + replace_cdata("a"), str)
    assert_type(like("a") + time_format((2024, 1, 1, 0, 0, 0, 0, 1, -1)), str)
    assert_type(sql_string_format("a", db_type="mysql") + param_str("a", db_type=None), str)
    assert_type(like("a", db_type="sqlite"), str)
    assert_type(replace_sql_first("and a", "and", "") + replace_sql_last("a,", ",", ""), str)
    assert_type(get_type_from_string("int"), type)
    assert_type(is_container_type(list) and is_result_class(Row), bool)


async def async_usage() -> None:
    assert_type(await Dao().many_async(), list[Row])
    assert_type(await Dao().page_async(Page(1, 10)), dict[str, Any])
    users = AsyncUserMapper()
    assert_type(await users.select_by_id(1), User | None)
    assert_type(await users.select_all(), list[User])
    async with BaseMapper.switch_datasource("main") as tx:
        assert_type(tx, AsyncSqlSession)
        assert_type(await tx.select_list(sa.text("select 1")), list[dict[str, Any]])
    async with db_session("main") as s:
        assert_type(s, AsyncSession)
    assert_type(ZorvaneConfig.async_engine("main"), AsyncEngine)
    await ZorvaneConfig.dispose_async()
