"""Shared benchmark fixtures: the row models, a filled `user` table on a SQLite file, mapper file text."""
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
