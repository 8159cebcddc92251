"""Paging a textual select: count statement, page statement, page dictionary"""
from typing import Any
import sqlalchemy as sa

from zorvane.db.ostrane import Page, PageInfo, SqlTemplate, count_query, limit_query


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    tpl = SqlTemplate(ctx["engine"])
    ins = sa.text("insert into user (name, age, city) values (:name, :age, :city)")
    tpl.insert_list(ins, args=[{"name": f"user{i}", "age": 20 + i, "city": "Bern"} for i in range(21)])

    adults = sa.text("select id, name from user where age > :age order by id")
    show("count_query, plain select", count_query(adults).text)
    show("count_query, DISTINCT", count_query(sa.text("select distinct city from user")).text)
    show("count_query, sub-select in the list", count_query(sa.text("select (select max(age) from user) m from user")).text)
    show("limit_query, Page(3, 10)", limit_query(adults, Page(3, 10)).text)

    page = tpl.select_page(adults, Page(3, 10), args={"age": 18})
    show("select_page page 3 of 10: total", page["total"])
    show("select_page page 3 of 10: list", page["list"])
    show("page past the end", tpl.select_page(adults, Page(9, 10), args={"age": 18}))
    show("distinct cities, page 1 of 2", tpl.select_page(sa.text("select distinct city from user order by city"), Page(1, 2)))
    show("Page(2.9, True) fields", vars(Page(2.9, True)))
    show("PageInfo from the page dictionary", PageInfo(**{**page, "list": page["list"][:1]}))
