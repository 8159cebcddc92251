"""BaseMapper: generic table access and transactions"""
from typing import Any

import sqlalchemy as sa

from sections.models import Book, BookIn
from sections.s10_mappers import BookMapper
from zorvane.db.ostrane import Page


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    books = BookMapper()
    show("insert(pydantic model) -> new key", books.insert(BookIn(title="Dune", author="Herbert", year=1965)))
    row = {"id": 99, "title": "Ubik", "author": "Dick", "year": 1969}
    ubik = books.insert(row)
    show("insert(dict with id) -> key from the database", ubik)
    show("  the caller's dict is unchanged", row)
    show("update_by_id(selective) skips None values", books.update_by_id({"id": 2, "author": None, "year": 1975}, True))
    show("select_by_id(2)", books.select_by_id(2))
    show("select_all(select(Book.title, Book.year)) rows",
         [tuple(r) for r in books.select_all(sa.select(Book.title, Book.year).where(Book.year < 1966))])
    show("select_one(select(func.max(Book.year)))", books.select_one(sa.select(sa.func.max(Book.year))))
    page = books.select_page_by_orm(sa.select(Book).order_by(Book.year), Page(2, 2))
    show("select_page_by_orm(page 2 of 2)", page)
    show("select_all_by_sql", books.select_all_by_sql("SELECT author, COUNT(*) AS n FROM book GROUP BY author ORDER BY author"))
    try:
        books.select_page_by_orm(sa.select(Book), Page(0, 2))
    except ValueError as e:
        show("Page(0, 2): pages count from 1", str(e))

    with BookMapper.switch_datasource("main"):
        books.insert(BookIn(title="The Left Hand of Darkness", author="Le Guin", year=1969))
        with BookMapper.switch_datasource("main"):  # joins the outer transaction
            show(f"delete_by_id({ubik}) inside the transaction", books.delete_by_id(ubik))
    try:
        with BookMapper.switch_datasource("main"):
            books.delete(sa.delete(Book))
            raise RuntimeError("changed my mind")
    except RuntimeError as e:
        show("switch_datasource block raised", str(e))
    show("books after both blocks", books.select_all_by_sql("SELECT title FROM book ORDER BY id"))
