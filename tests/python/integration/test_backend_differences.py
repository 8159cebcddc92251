"""Where the databases differ: generated keys, casts and arrays, PostgreSQL literals and value types;
and isolation and server errors, checked on every backend."""
import datetime
import decimal
import uuid

import pytest
import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from conftest import count_rows, create_user_table, datasource_decl, returning_id
from zorvane.db.ostrane import SqlTemplate
from zorvane.mapper.vantrel import ParseMapper
from zorvane.zorvane import BaseMapper, DBConfig, ZorvaneConfig, insert

MAPPER = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="KeyMapper">
  <insert id="add">INSERT INTO users (name) VALUES (#{name})</insert>
  <insert id="add_returning">INSERT INTO users (name) VALUES (#{name}) RETURNING id</insert>
</mapper>
"""


class KeyMapper(BaseMapper):
    def add(self, name): ...

    def add_returning(self, name): ...


class Base(DeclarativeBase):
    pass


class User(Base):
    __tablename__ = "users"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str | None] = mapped_column(sa.String(50))


class Users(BaseMapper[User]):
    pass


@pytest.fixture
def db(fresh_config, backend_url, tmp_path):
    """Datasource "main" on the backend, with the KeyMapper file and an empty users table."""
    (tmp_path / "key.xml").write_text(MAPPER)
    ZorvaneConfig(DBConfig(mapper_xml_path=str(tmp_path), main=datasource_decl(backend_url)))
    engine = ZorvaneConfig.datasource["main"]["db"]
    create_user_table(engine)
    return engine


def inserter(path, returning):
    """A function name -> what the insert path gives, for a statement with or without RETURNING id."""
    sql = "INSERT INTO users (name) VALUES (#{name})" + (" RETURNING id" if returning else "")
    session = ZorvaneConfig.datasource["main"]["kelvor"]
    if path == "decorator":
        return insert(sql)(lambda name: None)
    if path == "mapper":
        return getattr(KeyMapper(), "add_returning" if returning else "add")
    if path == "base mapper":
        return lambda name: Users().insert({"name": name})
    prepared = lambda name: ParseMapper.to_prepared_statement(sql, {"name": name})
    if path == "session":
        return lambda name: session.insert(*prepared(name))
    tpl = SqlTemplate(ZorvaneConfig.datasource["main"]["db"])
    return lambda name: tpl.insert(prepared(name)[0], None, prepared(name)[1])


@pytest.mark.parametrize("path", ["template", "session", "decorator", "mapper", "base mapper"])
def test_insert_gives_the_generated_key(db, backend, path):
    # lastrowid on MySQL and SQLite; on PostgreSQL the RETURNING value, or the table's generated key.
    add = inserter(path, returning=bool(returning_id(db)))
    assert [add("a"), add("b")] == [1, 2]
    assert inserter(path, returning=False)("c") == 3
    assert count_rows(db) == 3


@pytest.mark.parametrize("ddl, sql, expected", [
    ('CREATE TABLE "Odd Keys" (n TEXT, "the key" SERIAL PRIMARY KEY)',
     'INSERT INTO "Odd Keys" (n) VALUES (#{n});', [1, 2]),
    ("CREATE TABLE plain (n TEXT PRIMARY KEY)", "INSERT INTO plain (n) VALUES (#{n})", [None, None]),
    ("CREATE TABLE plain (id INTEGER GENERATED ALWAYS AS IDENTITY, n TEXT)",
     "INSERT INTO public.plain (n) VALUES (#{n}) RETURNING n", ["x0", "x1"]),
])
def test_postgresql_insert_keys_by_table(fresh_config, postgres_url, ddl, sql, expected):
    engine = sa.create_engine(postgres_url)
    with engine.begin() as c:
        c.exec_driver_sql('DROP TABLE IF EXISTS "Odd Keys", plain')
        c.exec_driver_sql(ddl)
    tpl = SqlTemplate(engine)

    def add(i):
        stmt, values = ParseMapper.to_prepared_statement(sql, {"n": f"x{i}"})
        return tpl.insert(stmt, None, values)
    assert [add(0), add(1)] == expected
    engine.dispose()


@pytest.mark.parametrize("sql, params, expected", [
    ("SELECT #{id}::bigint + 1 AS v", {"id": "41"}, 42),
    ("SELECT COUNT(*) AS v FROM users WHERE id = ANY(#{ids})", {"ids": [1, 3, 99]}, 2),
    ("SELECT MAX(created_at::date) = #{day} AS v FROM users", {"day": datetime.date(2024, 5, 1)}, True),
    ("SELECT $$ keep  :this $$ || $tag$ and  $$ $tag$ AS v", {}, " keep  :this  and  $$ "),
    ("SELECT E'it\\'s  :x' || #{y} AS v", {"y": "!"}, "it's  :x!"),
    ('SELECT "Name" AS v FROM (SELECT name AS "Name" FROM users WHERE id = 1) q', {}, "u1"),
])
def test_postgresql_sql_reaches_the_server_intact(fresh_config, postgres_url, sql, params, expected):
    engine = sa.create_engine(postgres_url)
    create_user_table(engine)
    with engine.begin() as c:
        c.exec_driver_sql("ALTER TABLE users ADD created_at TIMESTAMPTZ DEFAULT '2024-05-01 10:00+00'")
        c.exec_driver_sql("INSERT INTO users (name) VALUES ('u1'), ('u2'), ('u3')")
    stmt, values = ParseMapper.to_prepared_statement(sql, params)
    assert SqlTemplate(engine).select_one(stmt, args=values) == {"v": expected}
    engine.dispose()


VALUES = {
    "amount NUMERIC(12, 2)": decimal.Decimal("12345.67"),
    "at TIMESTAMPTZ": datetime.datetime(2024, 5, 1, 12, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
    "day DATE": datetime.date(2024, 2, 29),
    "ref UUID": uuid.UUID("12345678-1234-5678-1234-567812345678"),
    "flag BOOLEAN": True,
    "doc JSONB": {"a": [1, 2], "b": {"c": None}},
    "plain JSON": {"k": "v"},
    "tags TEXT[]": ["x", "y z"],
    "blob BYTEA": b"\x00\xffbytes",
}


def test_postgresql_values_round_trip(fresh_config, postgres_url):
    ZorvaneConfig(DBConfig(main=datasource_decl(postgres_url)))
    engine = ZorvaneConfig.datasource["main"]["db"]
    cols = {c.split()[0]: v for c, v in VALUES.items()}
    with engine.begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS kinds")
        c.exec_driver_sql(f"CREATE TABLE kinds (id SERIAL PRIMARY KEY, {', '.join(VALUES)})")
    session = ZorvaneConfig.datasource["main"]["kelvor"]
    sql = f"INSERT INTO kinds ({', '.join(cols)}) VALUES ({', '.join(f'#{{{n}}}' for n in cols)}) RETURNING id"
    key = session.insert(*ParseMapper.to_prepared_statement(sql, cols))
    row = session.select_one(*ParseMapper.to_prepared_statement("SELECT * FROM kinds WHERE id = #{id}", {"id": key}))
    assert row == {"id": key, **cols}


def test_uncommitted_rows_stay_in_their_session(db):
    one, two = SqlTemplate(db), SqlTemplate(db)
    stmt, values = ParseMapper.to_prepared_statement("INSERT INTO users (name) VALUES (#{n})", {"n": "mine"})
    count = sa.text("SELECT COUNT(*) AS n FROM users")
    with one.get_session() as s1:
        one.insert(stmt, s1, values)
        assert one.select_one(count, s1) == {"n": 1}
        assert two.select_one(count) == {"n": 0}
    assert two.select_one(count) == {"n": 1}


def test_server_error_rolls_back_and_reaches_the_caller(db):
    with db.begin() as c:
        c.exec_driver_sql("CREATE UNIQUE INDEX users_name ON users (name)")
    session = ZorvaneConfig.datasource["main"]["kelvor"]
    stmt, _ = ParseMapper.to_prepared_statement("INSERT INTO users (name) VALUES (#{n})", {"n": "x"})
    session.begin_tx()
    session.insert(stmt, {"n": "first"})
    with pytest.raises(sa.exc.IntegrityError):
        session.insert(stmt, {"n": "first"})
    assert count_rows(db) == 0
    session.rollback(), session.close()
    session.insert(stmt, {"n": "first"})  # the session works again after the failure
    assert count_rows(db) == 1
