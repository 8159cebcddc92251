"""Mapper XML files: statements by id with dynamic SQL, run by SqlTemplate"""
from typing import Any
from zorvane.db.ostrane import SqlTemplate
from zorvane.mapper.vantrel import ParseMapper


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    mapper = ParseMapper(str(ctx["mapper_dir"] / "UserMapper.xml"))
    tpl = SqlTemplate(ctx["engine"])
    show("namespace", mapper.namespace)
    show("list_statement()", list(mapper.list_statement()))

    stmt, values, kind, result_type = mapper.get_sql("find_users", {"min_age": 30, "cities": ["Oslo", "Rome"]})
    show("get_sql find_users -> SQL", stmt.text)
    show("get_sql find_users -> values", values)
    show("get_sql find_users -> kind, result type", (kind, result_type.__name__))
    show("find_users: 30+ in Oslo or Rome", tpl.select_list(stmt, args=values))
    stmt, values, _, _ = mapper.get_sql("find_users", {"min_age": 41, "order": "age"})
    show("find_users 41+, by age -> SQL", stmt.text)
    show("find_users 41+, by age", [r["name"] for r in tpl.select_list(stmt, args=values)])

    stmt, values, _, _ = mapper.get_sql("add_users", {"names": ["fay", "gus"], "age": 23, "city": "Oslo"})
    show("add_users (foreach) -> SQL", stmt.text)
    tpl.insert(stmt, args=values)
    stmt, values = mapper.insert("add_user", {"name": "hal", "age": 64, "city": "Rome"}, primary_key="id")
    show("insert with primary_key -> SQL", stmt.text)
    show("insert ... RETURNING id", tpl.select_one(stmt, args=values))

    stmt, values = mapper.update("update_user", {"id": 1, "city": "Lisbon"})
    show("update_user (set) -> SQL", stmt.text)
    show("update_user (row count)", tpl.update(stmt, args=values))
    stmt, values, _, _ = mapper.get_sql("delete_users", {"name": "gus"})
    show("delete_users (trim) -> SQL", stmt.text)
    show("delete_users (row count)", tpl.delete(stmt, args=values))
    stmt, values, _, _ = mapper.get_sql("count_by_city")
    show("count_by_city", tpl.select_list(stmt, args=values))
    try:
        mapper.select("add_user", {})
    except Exception as e:
        show("select on an insert id", str(e))
