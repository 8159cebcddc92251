"""Shared benchmark fixtures: the row models, a filled `user` table on a SQLite file, mapper file text."""
import dataclasses
import os
import pathlib
import tempfile
import uuid

import pydantic
import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column


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


class Base(DeclarativeBase):
    pass


class UserRow(Base):
    """The `users` table of the server benchmarks (PostgreSQL reserves the name `user`)."""
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str] = mapped_column(sa.String(50))
    age: Mapped[int]
    note: Mapped[str] = mapped_column(sa.String(50))


def server_urls() -> dict:
    """Server URLs by datasource kind, from MYSQL_URL and POSTGRES_URL (`make bench` passes them)."""
    return {k: os.environ[v] for k, v in (("mysql", "MYSQL_URL"), ("postgresql", "POSTGRES_URL")) if os.environ.get(v)}


def private_database(base):
    """(admin engine, name, URL) of a new database next to `base`; drop it with drop_database."""
    url = sa.make_url(base)
    name = f"zv_bench_{uuid.uuid4().hex[:8]}"
    admin = sa.create_engine(url, isolation_level="AUTOCOMMIT")
    with admin.connect() as c:
        c.exec_driver_sql(f"CREATE DATABASE {name}")
    return admin, name, url.set(database=name)


def drop_database(admin, name) -> None:
    force = " WITH (FORCE)" if admin.dialect.name == "postgresql" else ""
    with admin.connect() as c:
        c.exec_driver_sql(f"DROP DATABASE IF EXISTS {name}{force}")
    admin.dispose()


def declaration(url) -> dict:
    """The DBConfig declaration of the server database at `url`."""
    kind = url.get_backend_name()
    return {"db_type": kind, "host": url.host, "port": url.port or {"mysql": 3306}.get(kind, 5432), "user": url.username,
            "password": url.password or "", "database": url.database}


def sqlite_file_engine() -> sa.Engine:
    return sa.create_engine(f"sqlite:///{pathlib.Path(tempfile.mkdtemp()) / 'bench.db'}")


def fill_users(engine, n=40, age=lambda i: i, create=True) -> None:
    """Rows u0.. with notes n0..; creates the table first unless `create` is false."""
    with engine.begin() as c:
        if create:
            c.exec_driver_sql("CREATE TABLE user (id INTEGER PRIMARY KEY, name TEXT, age INTEGER, note TEXT)")
        c.exec_driver_sql("INSERT INTO user (name, age, note) VALUES " + ",".join(f"('u{i}', {age(i)}, 'n{i}')" for i in range(n)))


STATEMENT = """
  <select id="find_{n}" resultType="dict">
    select id, name, age, city from user
    <where>
      <if test="params.get('name') is not None">AND name = #{{name}}</if>
      <if test="params.get('min_age') is not None">AND age &gt;= #{{min_age}}</if>
      <if test="params.get('city')">AND city = #{{city}}</if>
      <if test="params.get('ids')">AND id IN
        <foreach item="id" collection="ids" open="(" close=")" separator=",">#{{id}}</foreach></if>
    </where>
    order by id
  </select>"""


def mapper_text(ns: str, count: int) -> str:
    return f'<?xml version="1.0"?>\n<mapper namespace="{ns}">' + "".join(STATEMENT.format(n=i) for i in range(count)) + "\n</mapper>\n"
