"""Mapper statements rendered by ParseMapper and run by SqlTemplate on SQLite files and MariaDB."""
import pathlib

import pytest

from conftest import count_rows, create_user_table
from zorvane.db.ostrane import SqlTemplate
from zorvane.mapper.vantrel import ParseMapper

MAPPER = pathlib.Path(__file__).parents[1] / "data" / "mappers" / "user.xml"


@pytest.fixture(scope="module")
def mapper():
    return ParseMapper(str(MAPPER))


@pytest.fixture
def tpl(engine):
    create_user_table(engine)
    return SqlTemplate(engine)


def run(tpl, mapper, sql_id, params):
    stmt, values, kind, _ = mapper.get_sql(sql_id, params)
    if kind == "select":
        return tpl.select_list(stmt, args=values)
    if kind == "insert":
        return tpl.insert(stmt, args=values)
    return tpl.update(stmt, args=values)


def seed(tpl, mapper):
    ids = [run(tpl, mapper, "add", {"name": n, "age": a, "note": None}) for n, a in [("ann", 30), ("bob", 17), ("cy", 52)]]
    assert run(tpl, mapper, "add_many", {"names": ["dee", "eve"], "age": 41}) is not None
    return ids


def names(rows):
    return [r["name"] for r in rows]


@pytest.mark.parametrize(
    "params, expected",
    [
        ({}, ["ann", "bob", "cy", "dee", "eve"]),
        ({"name": "bob"}, ["bob"]),
        ({"min_age": 30, "order": "age"}, ["cy", "dee", "eve", "ann"]),
        ({"min_age": 18, "ids": "first-two"}, ["ann"]),
        ({"ids": []}, ["ann", "bob", "cy", "dee", "eve"]),  # an empty list is a false test
    ],
)
def test_find(tpl, mapper, params, expected):
    ids = seed(tpl, mapper)
    if params.get("ids") == "first-two":
        params = {**params, "ids": ids[:2]}
    assert names(run(tpl, mapper, "find", params)) == expected


def test_quoted_literals_keep_their_blanks(tpl, mapper):
    seed(tpl, mapper)
    assert run(tpl, mapper, "find", {"name": "dee"})[0]["note"] == "batch  of  names"
    run(tpl, mapper, "add", {"name": "zed", "age": 1, "note": "two  blanks"})
    assert names(run(tpl, mapper, "find", {"note": True})) == ["zed"]


def test_update_and_delete(tpl, mapper, engine):
    ids = seed(tpl, mapper)
    assert run(tpl, mapper, "edit", {"id": ids[1], "name": "bobby", "age": 18}) == 1
    assert run(tpl, mapper, "find", {"ids": [ids[1]]}) == [{"id": ids[1], "name": "bobby", "age": 18, "note": None}]
    assert run(tpl, mapper, "edit", {"id": ids[2], "age": 53}) == 1
    assert run(tpl, mapper, "find", {"name": "cy"})[0]["age"] == 53
    assert run(tpl, mapper, "remove", {"ids": ids[:2], "max_age": 0}) == 2
    assert run(tpl, mapper, "remove", {"max_age": 45}) == 2  # dee and eve are 41
    assert names(run(tpl, mapper, "find", {})) == ["cy"]
    assert count_rows(engine) == 1


def test_insert_returning_primary_key(tpl, mapper, engine):
    stmt, values = mapper.insert("add", {"name": "rita", "age": 9, "note": "r"}, primary_key="id")
    assert stmt.text.endswith(" RETURNING id")
    row = tpl.select_one(stmt, args=values)
    assert run(tpl, mapper, "find", {"ids": [row["id"]]})[0]["name"] == "rita"
    assert count_rows(engine) == 1


def test_failed_rendering_runs_nothing(tpl, mapper, engine):
    seed(tpl, mapper)
    with pytest.raises(Exception, match="^Collection must be a list$"):
        run(tpl, mapper, "remove", {"ids": (1, 2)})
    assert count_rows(engine) == 5
