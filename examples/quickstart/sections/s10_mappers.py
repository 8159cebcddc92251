"""The main job: a mapper file (mappers/book.xml) and a mapper interface returning typed objects"""
from typing import Any

import sqlalchemy as sa

from sections.models import Base, Book, BookIn
from zorvane.db.ostrane import Page
from zorvane.exception import StatementNotFoundError
from zorvane.zorvane import BaseMapper, DBConfig, ZorvaneConfig


class BookMapper(BaseMapper[Book]):
    """Named like the namespace of mappers/book.xml: its methods run the statements of the same id."""

    def by_author(self, author: str) -> list[Book]: ...

    def count_since(self, year: int) -> int: ...

    def since(self, year: int, page: Page) -> list[Book]: ...

    def titles(self) -> list[str]:  # no statement of this id: the body runs
        return [b.title for b in self.select_all(sa.select(Book).order_by(Book.title))]


class BookMaper(BaseMapper[Book]):
    """A typo in the class name: no mapper file declares this namespace."""

    def by_author(self, author: str) -> list[Book]: ...


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    print("ZorvaneConfig prints the declared datasources:")
    ZorvaneConfig(
        DBConfig(
            primary="main",
            mapper_xml_path=str(ctx["mapper_dir"]),
            main={"db_type": "sqlite", "sqlite_path": str(ctx["db_path"])},
            report={"db_type": "sqlite", "sqlite_path": ":memory:"},
        )
    )
    Base.metadata.create_all(ZorvaneConfig.datasource["main"]["db"])
    books = BookMapper()
    books.save_batch([BookIn(title="Kindred", author="Butler", year=1979),
                      BookIn(title="The Dispossessed", author="Le Guin", year=1974),
                      BookIn(title="A Wizard of Earthsea", author="Le Guin", year=1968),
                      BookIn(title="Parable of the Sower", author="Butler", year=1993)])
    show("by_author('Le Guin') -> list[Book]", books.by_author("Le Guin"))
    show("count_since(1970) -> int", books.count_since(1970))
    show("since(1960, Page(2, 2)) -> a page of Book", books.since(1960, Page(2, 2)))
    show("titles() (its own body)", books.titles())
    try:
        BookMaper().by_author("Le Guin")
    except StatementNotFoundError as e:
        show("an empty method with no statement raises", str(e))
