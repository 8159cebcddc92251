"""Mapper statements rendered by ParseMapper and run by SqlTemplate on SQLite files and MariaDB."""
import pathlib

import pytest

from conftest import count_rows, create_user_table
from zorvane.db.kelvor import ZorvaneSqlSession
from zorvane.db.ostrane import Page, SqlTemplate
from zorvane.mapper.vantrel import ParseMapper

MAPPER = pathlib.Path(__file__).parents[1] / "data" / "mappers" / "user.xml"


@pytest.fixture(scope="module")
def mapper():
    return ParseMapper(str(MAPPER))


@pytest.fixture
def tpl(engine, mapper):
    create_user_table(engine)
    t = SqlTemplate(engine)
    for name, age in [("ann", 30), ("bob", 17), ("cy", 52)]:
        run(t, mapper, "add", {"name": name, "age": age, "note": None})
    run(t, mapper, "add_many", {"names": ["dee", "eve"], "age": 41})
    return t


def run(tpl, mapper, sql_id, params):
    stmt, values, kind, _ = mapper.get_sql(sql_id, params)
    if kind == "select":
        return tpl.select_list(stmt, args=values)
    return (tpl.insert if kind == "insert" else tpl.update)(stmt, args=values)


def names(rows):
    return [r["name"] for r in rows]


@pytest.mark.parametrize(
    "params, expected",
    [
        ({}, ["ann", "bob", "cy", "dee", "eve"]),
        ({"min_age": 30, "order": "age"}, ["cy", "dee", "eve", "ann"]),
        ({"min_age": 18, "ids": [1, 2]}, ["ann"]),
        ({"name": "dee", "note": True}, []),  # the quoted literal keeps its two blanks
    ],
)
def test_find(tpl, mapper, params, expected):
    assert names(run(tpl, mapper, "find", params)) == expected


def test_writes(tpl, mapper, engine):
    assert run(tpl, mapper, "find", {"name": "dee"})[0]["note"] == "batch  of  names"
    run(tpl, mapper, "add", {"name": "zed", "age": 1, "note": "two  blanks"})
    assert names(run(tpl, mapper, "find", {"note": True})) == ["zed"]
    assert run(tpl, mapper, "edit", {"id": 2, "name": "bobby", "age": 18}) == 1
    assert run(tpl, mapper, "find", {"ids": [2]}) == [{"id": 2, "name": "bobby", "age": 18, "note": None}]
    assert run(tpl, mapper, "remove", {"ids": [1, 2], "max_age": 0}) == 2
    assert run(tpl, mapper, "remove", {"max_age": 45}) == 3
    with pytest.raises(Exception, match="(?m)^Collection must be a list$"):
        run(tpl, mapper, "remove", {"ids": (3,)})
    assert names(run(tpl, mapper, "find", {})) == ["cy"] and count_rows(engine) == 1


def test_insert_returning_primary_key(tpl, mapper):
    stmt, values = mapper.insert("add", {"name": "rita", "age": 9, "note": "r"}, primary_key="id")
    assert stmt.text.endswith(" RETURNING id")
    new_id = tpl.select_one(stmt, args=values)["id"]
    assert names(run(tpl, mapper, "find", {"ids": [new_id]})) == ["rita"]


def test_session_runs_mapper_statements_by_namespace_and_id(tpl, mapper, engine):
    session = ZorvaneSqlSession(mapper_dict={"UserMapper": mapper}, data_source=engine)
    assert session.execute_sql("edit", "UserMapper", {"id": 3, "age": 5}) == 1
    assert names(session.execute_sql("find", "UserMapper", {"min_age": 40}, None, list[dict])) == ["dee", "eve"]
    page = session.execute_sql("find", "UserMapper", {}, Page(2, 2), list[dict])
    assert (page["total"], names(page["list"])) == (5, ["cy", "dee"])
