"""Bulk loads (COPY on PostgreSQL, packet-sized VALUES on MariaDB, executemany on SQLite) keep every
value exact and load all rows or none, sync and async."""
import datetime
import decimal
import enum
import json

import pytest
import sqlalchemy as sa
from sqlalchemy.dialects import mysql
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from conftest import count_rows, datasource_decl, run
from zorvane.zorvane import AsyncBaseMapper, BaseMapper, DBConfig, ZorvaneConfig, insert_list


class Base(DeclarativeBase):
    pass


class Load(Base):
    __tablename__ = "loads"
    id: Mapped[int] = mapped_column(primary_key=True, autoincrement=False)
    txt: Mapped[str | None] = mapped_column(sa.Text)
    day: Mapped[datetime.date | None]
    at: Mapped[datetime.datetime | None] = mapped_column(sa.DateTime().with_variant(mysql.DATETIME(fsp=6), "mysql"))
    amount: Mapped[decimal.Decimal | None] = mapped_column(sa.Numeric(12, 4))
    raw: Mapped[bytes | None] = mapped_column(sa.LargeBinary)
    doc: Mapped[dict | None] = mapped_column(sa.JSON)


class Loads(BaseMapper[Load]):
    pass


class AsyncLoads(AsyncBaseMapper[Load]):
    pass


SQL = "INSERT INTO loads (id, txt, day, at, amount, raw, doc) VALUES (:id, :txt, :day, :at, :amount, :raw, :doc)"


class Dao:
    @insert_list(SQL)
    def add(self, data: list, batch_size: int) -> None: ...

    @insert_list(SQL)
    async def add_async(self, data: list, batch_size: int) -> None: ...


TEXTS = ["tab\there", "line\nbreak\r\n", "back\\slash \\N \\\\", "ünïcødé ✓ 😀", "", "'quote\" %s %(x)s"]


def rows(n=1500, raw=True):
    return [{"id": i, "txt": None if i % 7 == 3 else TEXTS[i % len(TEXTS)] + str(i),
             "day": None if i % 11 == 5 else datetime.date(2024, 1, 1) + datetime.timedelta(days=i),
             "at": None if i % 10 == 1 else datetime.datetime(2024, 1, 1) + datetime.timedelta(seconds=i * 7, microseconds=i % 3),
             "amount": None if i % 13 == 6 else decimal.Decimal(i) / 8 - 50,
             "raw": None if i % 5 == 2 or not raw else bytes([i % 256, 0, 92, 10, 9, 255]),
             "doc": None if i % 9 == 4 else {"i": i, "s": "a\tb\\c\n\u00e9", "l": [1, None]}} for i in range(n)]


def normal(row):
    """A row as read back, in comparable form (SQLite keeps dates as text, numbers as floats, JSON as text)."""
    out = dict(row)
    if isinstance(out["day"], str):
        out["day"] = datetime.date.fromisoformat(out["day"])
    if isinstance(out["at"], str):
        out["at"] = datetime.datetime.fromisoformat(out["at"])
    if out["amount"] is not None:
        out["amount"] = decimal.Decimal(str(out["amount"])).normalize()
    if isinstance(out["doc"], str):
        out["doc"] = json.loads(out["doc"])
    if out["raw"] is not None:
        out["raw"] = bytes(out["raw"])
    return out


def stored_rows(engine):
    with engine.connect() as c:
        return c.exec_driver_sql("SELECT * FROM loads ORDER BY id").all()


@pytest.fixture
def loads(fresh_config, engine):
    ZorvaneConfig(DBConfig(primary="main", main=datasource_decl(engine.url)))
    Base.metadata.drop_all(engine)
    Base.metadata.create_all(engine)
    return engine


def load(mode, entry, data):
    if mode == "sync":
        return Dao().add(data, 400) if entry == "insert_list" else Loads().save_batch(data, 400)

    async def go():
        return await (Dao().add_async(data, 400) if entry == "insert_list" else AsyncLoads().save_batch(data, 400))
    return run(go())


@pytest.mark.parametrize("mode", ["sync", pytest.param("async", marks=pytest.mark.greenlet)])
@pytest.mark.parametrize("entry", ["insert_list", "save_batch"])
def test_bulk_load_is_exact_and_all_or_nothing(loads, mode, entry):
    # aiomysql cannot bind bytes with PyMySQL 2 (its escape_bytes_prefixed is gone)
    raw = not (mode == "async" and loads.dialect.name == "mysql")
    data = rows(raw=raw)
    load(mode, entry, data)
    with loads.connect() as c:
        got = [normal(r._asdict()) for r in c.execute(sa.select(Load.__table__).order_by("id"))]
    assert got == [normal(r) for r in data]
    if entry == "save_batch":  # the same rows as the toolkit's own insert of the table stores them
        stored = stored_rows(loads)
        with loads.begin() as c:
            c.execute(sa.delete(Load.__table__))
            c.execute(sa.insert(Load.__table__), data)
        assert stored_rows(loads) == stored

    with loads.begin() as c:
        c.execute(sa.delete(Load.__table__))
    broken = rows(900, raw) + [{**rows(1, raw)[0], "id": 450}]  # the last row repeats a key: nothing stays
    with pytest.raises(sa.exc.IntegrityError):
        load(mode, entry, broken)
    assert count_rows(loads, "loads") == 0


@pytest.mark.parametrize("sql", ["INSERT INTO loads (id, txt) VALUES (:id, UPPER(:txt))",
                                 "INSERT INTO loads (id, txt) VALUES (:id, :txt || 'x')"])
def test_bulk_insert_with_expressions_keeps_them(loads, sql):
    class Expr:
        @insert_list(sql)
        def add(self, data: list) -> None: ...

    if "||" in sql and loads.dialect.name == "mysql":
        pytest.skip("|| is OR on MariaDB")
    Expr().add([{"id": i, "txt": f"a{i}"} for i in range(3)])
    with loads.connect() as c:
        got = c.exec_driver_sql("SELECT txt FROM loads ORDER BY id").scalars().all()
    assert got == (["A0", "A1", "A2"] if "UPPER" in sql else ["a0x", "a1x", "a2x"])


@pytest.mark.parametrize("sql_mode", ["", "NO_BACKSLASH_ESCAPES"])
def test_mysql_values_statements_keep_text_exact(fresh_config, mysql_url, sql_mode):
    """Multi-row VALUES statements written by the library quote text as the server's mode reads it."""
    engine = sa.create_engine(mysql_url)
    Base.metadata.drop_all(engine)
    Base.metadata.create_all(engine)
    engine.dispose()
    init = {"init_command": f"SET SESSION sql_mode='{sql_mode}'"}
    ZorvaneConfig(DBConfig(primary="main", main={**datasource_decl(mysql_url), "connect_args": init}))
    texts = TEXTS + ["'); DROP TABLE loads; -- ", "\\'", "\\", "\0\x1a\r", "\"'\\\"", "%s%%"]
    data = [{"id": i, "txt": t, "day": None, "at": None, "amount": None, "raw": None, "doc": None}
            for i, t in enumerate(texts)]
    Dao().add(data, 2)
    with ZorvaneConfig.datasource["main"]["db"].connect() as c:
        assert c.exec_driver_sql("SELECT @@SESSION.sql_mode").scalar() == sql_mode
        assert c.exec_driver_sql("SELECT txt FROM loads ORDER BY id").scalars().all() == texts


class Level(enum.IntEnum):
    HIGH = 7


class Moment(datetime.datetime):
    pass


def test_mysql_values_statements_write_values_as_the_driver_does(fresh_config, mysql_url):
    """Each value kind in a multi-row VALUES statement is stored as the driver's own executemany stores it."""
    engine = sa.create_engine(mysql_url)
    with engine.begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS kinds")
        c.exec_driver_sql("CREATE TABLE kinds (id INT PRIMARY KEY, v VARCHAR(40), n BIGINT, f DOUBLE)")
    zone = datetime.timezone(datetime.timedelta(hours=2))
    values = [(True, False), (-5, 2**62), (Level.HIGH, 0), (1.5, 1e-07), ("x", None), (decimal.Decimal("2.50"), -0.0),
              (datetime.datetime(2024, 5, 6, 7, 8, 9), 1e16), (datetime.datetime(999, 1, 2, 3, 4, 5, 60), 0.1),
              (datetime.datetime(2024, 5, 6, 7, 8, 9, 10, tzinfo=zone), 1), (datetime.date(2024, 2, 29), 2),
              (Moment(2000, 1, 1), 3), (-2.5e-300, 4)]
    rows = [{"id": i, "v": v, "n": n if not isinstance(n, float) else None, "f": n if isinstance(n, float) else None}
            for i, (v, n) in enumerate(values)]

    def stored():
        with engine.connect() as c:
            return c.exec_driver_sql("SELECT * FROM kinds ORDER BY id").all()

    class Kinds:
        @insert_list("INSERT INTO kinds (id, v, n, f) VALUES (:id, :v, :n, :f)")
        def add(self, data: list) -> None: ...

    ZorvaneConfig(DBConfig(primary="main", main=datasource_decl(mysql_url)))
    Kinds().add(rows)
    ours = stored()
    with engine.begin() as c:
        c.exec_driver_sql("DELETE FROM kinds")
        c.exec_driver_sql("INSERT INTO kinds (id, v, n, f) VALUES (%(id)s, %(v)s, %(n)s, %(f)s)", rows)
    assert stored() == ours
    engine.dispose()


def test_sqlite_save_batch_stores_dates_as_the_toolkit_does(fresh_config, sqlite_url):
    """Naive, aware and subclassed datetimes and dates in save_batch rows are stored as the toolkit's own insert
    of the table stores them."""
    engine = sa.create_engine(sqlite_url)
    Base.metadata.create_all(engine)
    zone = datetime.timezone(datetime.timedelta(hours=2))
    stamps = [datetime.datetime(2024, 5, 6, 7, 8, 9), datetime.datetime(2024, 5, 6, 7, 8, 9, 10, tzinfo=zone),
              Moment(1999, 12, 31, 23, 59, 59, 999999), None]
    data = [{"id": i, "txt": None, "day": None if at is None else at.date(), "at": at, "amount": None, "raw": None,
             "doc": None} for i, at in enumerate(stamps)]
    ZorvaneConfig(DBConfig(primary="main", main=datasource_decl(engine.url)))
    Loads().save_batch(data)
    ours = stored_rows(engine)
    with engine.begin() as c:
        c.execute(sa.delete(Load.__table__))
        c.execute(sa.insert(Load.__table__), data)
    assert stored_rows(engine) == ours
    engine.dispose()
