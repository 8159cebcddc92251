"""Inline SQL with #{...} placeholders, run by SqlTemplate"""
from typing import Any
import sqlalchemy as sa

from zorvane.db.ostrane import SqlTemplate
from zorvane.exception import DBException
from zorvane.mapper.vantrel import ParseMapper


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    engine = sa.create_engine(f"sqlite:///{ctx['db_path']}")
    ctx["engine"] = engine
    tpl = SqlTemplate(engine)
    tpl.update(sa.text("CREATE TABLE user (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, age INTEGER, city TEXT)"))

    stmt, values = ParseMapper.to_prepared_statement(
        "insert into user (name, age, city) values (#{name}, #{age}, #{city})", {"name": "ada", "age": 36, "city": "London"}
    )
    show("to_prepared_statement -> SQL", stmt.text)
    show("to_prepared_statement -> values", values)
    show("insert (generated key)", tpl.insert(stmt, args=values))
    rows = [("bob", 17, "Paris"), ("cy", 52, "Rome"), ("dee", 29, "Paris"), ("eve", 41, "Oslo")]
    ins = sa.text("insert into user (name, age, city) values (:name, :age, :city)")
    tpl.insert_list(ins, args=[dict(zip(("name", "age", "city"), r)) for r in rows])
    show("insert_list (4 rows) returns", None)

    stmt, values = ParseMapper.to_prepared_statement(
        "select name, age from user\n   where age > #{age}\n   order by id", {"age": 18}
    )
    show("select_list age > 18", tpl.select_list(stmt, args=values))
    show("select_one", tpl.select_one(stmt, args=values))
    show("update (row count)", tpl.update(sa.text("update user set city = 'Lyon' where city = :c"), args={"c": "Paris"}))
    show("to_replace order by ${col}", ParseMapper.to_replace("select name from user order by ${col}", {"col": "age"}))
    stmt, values = ParseMapper.to_prepared_statement("select 'a  b :c' as s", {})
    show("quoted literal kept exactly", tpl.select_one(stmt, args=values))
    try:
        raise DBException("no connection")
    except DBException as e:
        show("DBException text / message", (str(e), e.message))
