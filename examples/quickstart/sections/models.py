"""The table model of the quickstart's mapper classes (not a section: it has no run())."""
import pydantic
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column


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
