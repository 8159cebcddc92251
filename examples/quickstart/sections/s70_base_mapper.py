"""BaseMapper: generic table access, transactions and mapper interfaces"""
from typing import Any
import pydantic
import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from zorvane.db.ostrane import Page
from zorvane.zorvane import BaseMapper


class Base(DeclarativeBase):
    pass


class Book(Base):
    __tablename__ = "book"
    id: Mapped[int] = mapped_column(primary_key=True)
    title: Mapped[str]
    author: Mapped[str | None]
    year: Mapped[int | None]

    def __repr__(self) -> str:
        return f"Book({self.id}, {self.title!r}, {self.author!r}, {self.year})"


class BookIn(pydantic.BaseModel):
    title: str
    author: str | None = None
    year: int | None = None


class BookMapper(BaseMapper[Book]):
    """Named like the namespace of mappers/book.xml: its methods run the statements of the same id."""

    def by_author(self, author: str) -> list[Book]: ...

    def count_since(self, year: int) -> int: ...

    def since(self, year: int, page: Page) -> list[Book]: ...

    def titles(self) -> list[str]:  # no statement of this id: the body runs
        return [b.title for b in self.select_all(sa.select(Book).order_by(Book.title))]


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    Base.metadata.create_all(ctx["engine"])
    books = BookMapper()
    show("insert(pydantic model) -> new key", books.insert(BookIn(title="Kindred", author="Butler", year=1979)))
    row = {"id": 99, "title": "Dune", "author": "Herbert", "year": 1965}
    show("insert(dict with id) -> key from the database", books.insert(row))
    show("  the caller's dict is unchanged", row)
    books.save_batch([BookIn(title="The Dispossessed", author="Le Guin", year=1974),
                      BookIn(title="A Wizard of Earthsea", author="Le Guin", year=1968),
                      {"title": "Parable of the Sower", "author": "Butler", "year": 1993}])
    show("update_by_id(selective) skips None values", books.update_by_id({"id": 2, "author": None, "year": 1966}, True))
    show("select_by_id(2)", books.select_by_id(2))
    show("select_all(select(Book.title, Book.year)) rows",
         [tuple(r) for r in books.select_all(sa.select(Book.title, Book.year).where(Book.year < 1970))])
    show("select_one(select(func.max(Book.year)))", books.select_one(sa.select(sa.func.max(Book.year))))
    page = books.select_page_by_orm(sa.select(Book).order_by(Book.year), Page(2, 2))
    show("select_page_by_orm(page 2 of 2)", page)
    show("select_all_by_sql", books.select_all_by_sql("SELECT author, COUNT(*) AS n FROM book GROUP BY author ORDER BY author"))

    show("by_author('Le Guin')  (mapper file)", books.by_author("Le Guin"))
    show("count_since(1970)     (mapper file)", books.count_since(1970))
    show("since(1960, Page(1, 2)) (mapper file)", books.since(1960, Page(1, 2)))
    show("titles()              (own body)", books.titles())

    with BookMapper.switch_datasource("main"):
        books.insert(BookIn(title="Solaris", author="Lem", year=1961))
        with BookMapper.switch_datasource("main"):  # joins the outer transaction
            show("delete_by_id(2) inside the transaction", books.delete_by_id(2))
    try:
        with BookMapper.switch_datasource("main"):
            books.delete(sa.delete(Book))
            raise RuntimeError("changed my mind")
    except RuntimeError as e:
        show("switch_datasource block raised", str(e))
    show("books after both blocks", books.select_all_by_sql("SELECT title FROM book ORDER BY id"))
