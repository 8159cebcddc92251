"""Shared benchmark fixtures: the row models and a filled `user` table on a SQLite file."""
import dataclasses
import pathlib
import tempfile

import pydantic
import sqlalchemy as sa


@dataclasses.dataclass
class User:
    id: int
    name: str
    age: int
    note: str


class PUser(pydantic.BaseModel):
    id: int
    name: str
    age: int
    note: str


def sqlite_file_engine() -> sa.Engine:
    return sa.create_engine(f"sqlite:///{pathlib.Path(tempfile.mkdtemp()) / 'bench.db'}")


def fill_users(engine, n=40, age=lambda i: i, create=True) -> None:
    """Rows u0.. with notes n0..; creates the table first unless `create` is false."""
    with engine.begin() as c:
        if create:
            c.exec_driver_sql("CREATE TABLE user (id INTEGER PRIMARY KEY, name TEXT, age INTEGER, note TEXT)")
        c.exec_driver_sql("INSERT INTO user (name, age, note) VALUES " + ",".join(f"('u{i}', {age(i)}, 'n{i}')" for i in range(n)))
