"""Statement-binding decorators: a data-access class declared by signatures and SQL"""
from typing import Any
import dataclasses

from zorvane.db.ostrane import Page
from zorvane.zorvane import (
    datasource,
    db_session,
    delete,
    insert,
    insert_list,
    select_list,
    select_one,
    select_page,
    switch_datasource,
    update,
)


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


@dataclasses.dataclass
class Product:
    id: int
    name: str
    price: int


class ProductDao:
    @insert_list("insert into product (name, price) values (:name, :price)")
    def add_all(self, data: list[dict[str, Any]]) -> None: ...

    @insert("insert into product (name, price) values (#{name}, #{price})")
    def add(self, name: str, price: int) -> int: ...

    @select_one("select id, name, price from product where id = #{id}")
    def by_id(self, id: int) -> Product: ...

    @select_one("select count(*) from product")
    def count(self) -> int: ...

    @select_list("select id, name, price from product where price >= #{price} order by id")
    def at_least(self, price: int) -> list[Product]: ...

    @select_list("select name, price from product order by price desc")
    def price_list(self) -> list[dict[str, Any]]: ...

    @select_page("select id, name, price from product order by id")
    def page(self, page: Page | None = None) -> list[Product]: ...

    @update("update product set price = price + #{delta} where price < #{below}")
    def raise_cheap(self, delta: int, below: int) -> int: ...

    @delete("delete from product where name = #{name}")
    def remove(self, name: str) -> int: ...


@datasource("main", transactional=True)
class Restock(ProductDao):
    def both_or_neither(self, fail: bool) -> None:
        self.add("gadget", 99)
        self.add("gizmo", 98)
        if fail:
            raise RuntimeError("restock failed")


def run(ctx: dict[str, Any]) -> None:
    with db_session("main") as s:
        s.connection().exec_driver_sql("CREATE TABLE product (id INTEGER PRIMARY KEY, name TEXT, price INTEGER)")
    dao = ProductDao()
    dao.add_all([{"name": f"item{i}", "price": 10 * i} for i in range(1, 13)])
    show("insert -> generated key", dao.add("widget", 5))
    show("select_one -> Product", dao.by_id(13))
    show("select_one -> int (one column)", dao.count())
    show("select_one, no such row", dao.by_id(999))
    show("select_list -> list[Product]", dao.at_least(100))
    show("select_list -> list[dict]", dao.price_list()[:2])
    first = dao.page()
    show("select_page without a Page (1 of 10)", (first["total"], len(first["list"])))
    show("select_page(Page(3, 5))", dao.page(Page(3, 5)))
    show("update -> row count", dao.raise_cheap(delta=1, below=25))
    show("delete -> row count", dao.remove("widget"))
    try:

        @select_list("select id from product")
        def wrong() -> Product: ...

        wrong()
    except TypeError as e:
        show("select_list annotated with a class", str(e))
    try:
        Restock().both_or_neither(fail=True)
    except RuntimeError:
        show("transactional class, failed: count", dao.count())
    Restock().both_or_neither(fail=False)
    show("transactional class, committed: count", dao.count())
    with switch_datasource("report"):
        try:
            dao.count()
        except Exception as e:  # the report datasource has no product table
            show("same method on datasource 'report'", type(e).__name__)
