"""Placeholder scanner and SQL text utilities"""
from typing import Any
import xml.etree.ElementTree as ET

from zorvane.utils.corvint import convert_cdata, param_str, replace_cdata, sql_string_format
from zorvane.utils.drumsel import get_params, get_sql_param
from zorvane.utils.malvey import replace_sql_first, replace_sql_last
from zorvane.utils.tibbet import default_fun_dict, like, time_format


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    sql = "select * from user where id = #{id, sql_type=INTEGER} and city = #{city} order by ${col} $f{fmt(a, b)}"
    for p in get_sql_param(sql):
        show(f"get_sql_param {p.full_name}", (p.param_name, p.sql_type, p.sql_param.function_name))
    show("text form of #{id}", str(get_sql_param("#{id}")[0]))
    where = ET.fromstring("<where>\n  <if test='x'/>and age > #{age}</where>")
    show("get_params (element text + tail)", [p.full_name for p in get_params(where[0])])

    show("replace_cdata", replace_cdata("age <![CDATA[ < ]]> 18"))
    show("convert_cdata unescape / escape", (convert_cdata("a &lt; b"), convert_cdata("a < b", reverse=True)))
    show("sql_string_format it's / 'it''s'", (sql_string_format("it's"), sql_string_format("'it''s'")))
    show("param_str None / 5 / text", (param_str(None), param_str(5), param_str("ada")))
    show("replace_sql_first AND|OR", replace_sql_first("  and age > 18 AND city = 'Rome'", "AND|OR", ""))
    show("replace_sql_last , with comment", replace_sql_last("set name = 'x', -- trailing", ",", ""))
    show("like / time_format", (like("O'Brien"), time_format((2024, 1, 2, 3, 4, 5, 0, 0, -1))))
    show("default_fun_dict keys", list(default_fun_dict))

    # A literal from sql_string_format is one string on the database, quotes and all.
    value = "O'Brien -- x"
    with ctx["engine"].connect() as c:
        show(f"select {like(value)}", c.exec_driver_sql(f"select {like(value)}").scalar())
