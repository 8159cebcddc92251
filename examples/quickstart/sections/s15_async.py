"""The same from async code: an AsyncBaseMapper interface on the same mapper file"""
import asyncio
from typing import Any

from sections.models import Book, BookIn
from zorvane.db.ostrane import Page
from zorvane.zorvane import AsyncBaseMapper, ZorvaneConfig


class BookMapper(AsyncBaseMapper[Book]):
    """The namespace of mappers/book.xml again; every method is awaited."""

    async def by_author(self, author: str) -> list[Book]: ...

    async def count_since(self, year: int) -> int: ...

    async def since(self, year: int, page: Page) -> list[Book]: ...


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


async def main() -> None:
    books = BookMapper()
    try:
        async with BookMapper.switch_datasource("main"):  # one transaction
            await books.insert(BookIn(title="Solaris", author="Lem", year=1961))
            await books.insert(BookIn(title="His Master's Voice", author="Lem", year=1968))
        show("await by_author('Lem') -> list[Book]", await books.by_author("Lem"))
        show("await count_since(1960) -> int", await books.count_since(1960))
        show("await since(1960, Page(3, 2))", await books.since(1960, Page(3, 2)))
    finally:
        await ZorvaneConfig.dispose_async()  # the loop's pooled connections, before it closes


def run(ctx: dict[str, Any]) -> None:
    asyncio.run(main())
