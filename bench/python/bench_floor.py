"""The floor under every per-call figure: zorvane against the bare DBAPI driver with a kept connection
(cursor, execute, rows into dicts, commit), sync (sqlite3, PyMySQL, psycopg) and async (aiosqlite,
aiomysql, psycopg async), on a SQLite file and the servers of MYSQL_URL / POSTGRES_URL (each in a
private database it creates and drops). Then bulk loads: 100,000 rows through @insert_list,
BaseMapper.save_batch and a mapper <insert> called with a list, against the driver's executemany.

Per-call cases alternate batches of the two sides; the figure is the median of ROUNDS rounds (and
the ratio the median of the per-round ratios). ROUNDS, CALLS, ROWS and BACKENDS override the defaults."""
import asyncio
import datetime
import os
import pathlib
import statistics
import tempfile
import time
import gc

import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from _fixtures import declaration, drop_database, private_database, server_urls
from _timing import header
from zorvane.db.ostrane import Page
from zorvane.zorvane import (BaseMapper, DBConfig, ZorvaneConfig, insert, insert_list, select_list, select_one,
                             select_page, switch_datasource)

ROUNDS = int(os.environ.get("ROUNDS", 9))
CALLS = int(os.environ.get("CALLS", 50))
ROWS = int(os.environ.get("ROWS", 100_000))
BULK_ROUNDS = int(os.environ.get("BULK_ROUNDS", 3))


class Base(DeclarativeBase):
    pass


class Person(Base):
    __tablename__ = "people"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str] = mapped_column(sa.String(50))
    age: Mapped[int]
    note: Mapped[str] = mapped_column(sa.String(50))


class Item(Base):
    __tablename__ = "items"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str] = mapped_column(sa.String(50))
    amount: Mapped[int]
    created: Mapped[datetime.datetime]
    note: Mapped[str] = mapped_column(sa.String(50))


SELECT = "SELECT id, name, age, note FROM people WHERE age >= {} ORDER BY id LIMIT 20"
PAGED = "SELECT id, name, age, note FROM people WHERE age > {} ORDER BY id"
BY_KEY = "SELECT id, name, age, note FROM people WHERE id = {}"
INSERT = "INSERT INTO people (name, age, note) VALUES ({}, {}, {})"
ITEMS = "INSERT INTO items (name, amount, created, note) VALUES ({}, {}, {}, {})"
MAPPER = f"""<mapper namespace="FloorItems">
  <insert id="add">{ITEMS.format("#{name}", "#{amount}", "#{created}", "#{note}")}</insert>
</mapper>"""


class Dao:
    @select_list(SELECT.format("#{age}"))
    def adults(self, age: int) -> list[dict]: ...

    @insert(INSERT.format("#{name}", "#{age}", "#{note}"))
    def add(self, name: str, age: int, note: str) -> int: ...

    @select_page(PAGED.format("#{age}"))
    def page(self, age: int, page: Page) -> list[dict]: ...

    @select_one(BY_KEY.format("#{id}"))
    def one(self, id: int) -> dict: ...

    @insert_list(ITEMS.format(":name", ":amount", ":created", ":note"))
    def add_items(self, data: list) -> None: ...


class AsyncDao:
    @select_list(SELECT.format("#{age}"))
    async def adults(self, age: int) -> list[dict]: ...

    @insert(INSERT.format("#{name}", "#{age}", "#{note}"))
    async def add(self, name: str, age: int, note: str) -> int: ...

    @select_page(PAGED.format("#{age}"))
    async def page(self, age: int, page: Page) -> list[dict]: ...

    @select_one(BY_KEY.format("#{id}"))
    async def one(self, id: int) -> dict: ...


class FloorItems(BaseMapper[Item]):
    def add(self, rows: list) -> None: ...


# ---- the bare drivers: one kept connection, a cursor per call, rows into dicts, commit

def bare_sync(kind, url, path):
    if kind == "sqlite":
        import sqlite3
        conn, mark = sqlite3.connect(path), "?"
    elif kind == "mysql":
        import pymysql
        conn = pymysql.connect(host=url.host, port=url.port or 3306, user=url.username, password=url.password or "",
                               database=url.database)
        mark = "%s"
    else:
        import psycopg
        conn = psycopg.connect(host=url.host, port=url.port or 5432, user=url.username, password=url.password or "",
                               dbname=url.database)
        mark = "%s"
    return conn, mark


async def bare_async(kind, url, path):
    if kind == "sqlite":
        import aiosqlite
        return await aiosqlite.connect(path), "?"
    if kind == "mysql":
        import aiomysql
        return await aiomysql.connect(host=url.host, port=url.port or 3306, user=url.username,
                                      password=url.password or "", db=url.database), "%s"
    import psycopg
    return await psycopg.AsyncConnection.connect(host=url.host, port=url.port or 5432, user=url.username,
                                                 password=url.password or "", dbname=url.database), "%s"


def dicts(cur):
    keys = [d[0] for d in cur.description]
    return [dict(zip(keys, r)) for r in cur.fetchall()]


def sync_cases(kind, conn, m):
    select, paged, by_key = SELECT.format(m), PAGED.format(m), BY_KEY.format(m)
    count = f"SELECT COUNT(*) FROM people WHERE age > {m}"
    returning = " RETURNING id" if kind == "postgresql" else ""
    add = INSERT.format(m, m, m) + returning

    def adults():
        cur = conn.cursor()
        cur.execute(select, (5,))
        rows = dicts(cur)
        conn.commit()
        cur.close()
        return rows

    def insert_one():
        cur = conn.cursor()
        cur.execute(add, ("n", 1, "x"))
        key = cur.fetchone()[0] if returning else cur.lastrowid
        conn.commit()
        cur.close()
        return key

    def page():
        cur = conn.cursor()
        cur.execute(count, (18,))
        total = cur.fetchone()[0]
        cur.execute(paged + f" LIMIT {m} OFFSET {m}", (18, 10, 20))
        rows = dicts(cur)
        conn.commit()
        cur.close()
        return {"pageNum": 3, "pageSize": 10, "total": total, "list": rows}

    def one():
        cur = conn.cursor()
        cur.execute(by_key, (7,))
        rows = dicts(cur)
        conn.commit()
        cur.close()
        return rows[0] if rows else None

    return adults, insert_one, page, one


def async_cases(kind, conn, m):
    select, paged, by_key = SELECT.format(m), PAGED.format(m), BY_KEY.format(m)
    count = f"SELECT COUNT(*) FROM people WHERE age > {m}"
    returning = " RETURNING id" if kind == "postgresql" else ""
    add = INSERT.format(m, m, m) + returning

    async def rows_of(cur):
        keys = [d[0] for d in cur.description]
        return [dict(zip(keys, r)) for r in await cur.fetchall()]

    async def adults():
        cur = conn.cursor() if kind == "postgresql" else await conn.cursor()
        await cur.execute(select, (5,))
        rows = await rows_of(cur)
        await conn.commit()
        await cur.close()
        return rows

    async def insert_one():
        cur = conn.cursor() if kind == "postgresql" else await conn.cursor()
        await cur.execute(add, ("n", 1, "x"))
        key = (await cur.fetchone())[0] if returning else cur.lastrowid
        await conn.commit()
        await cur.close()
        return key

    async def page():
        cur = conn.cursor() if kind == "postgresql" else await conn.cursor()
        await cur.execute(count, (18,))
        total = (await cur.fetchone())[0]
        await cur.execute(paged + f" LIMIT {m} OFFSET {m}", (18, 10, 20))
        rows = await rows_of(cur)
        await conn.commit()
        await cur.close()
        return {"pageNum": 3, "pageSize": 10, "total": total, "list": rows}

    async def one():
        cur = conn.cursor() if kind == "postgresql" else await conn.cursor()
        await cur.execute(by_key, (7,))
        rows = await rows_of(cur)
        await conn.commit()
        await cur.close()
        return rows[0] if rows else None

    return adults, insert_one, page, one


LABELS = ("select, 20 rows", "insert, 1 row", "paged select, page 3 of 10", "select 1 row by key")


def timed(fn, n):
    gc.disable()
    t0 = time.perf_counter()
    for _ in range(n):
        fn()
    dt = (time.perf_counter() - t0) / n
    gc.enable()
    return dt


async def atimed(fn, n):
    gc.disable()
    t0 = time.perf_counter()
    for _ in range(n):
        await fn()
    dt = (time.perf_counter() - t0) / n
    gc.enable()
    return dt


def summary(label, ours, bare):
    ratios = [a / b for a, b in zip(ours, bare)]
    r = statistics.median(ratios)
    verdict = "  ok" if r <= 1.10 else "  ABOVE 1.10"
    print(f"   {label:<30} {statistics.median(ours) * 1e6:9.1f} us vs {statistics.median(bare) * 1e6:9.1f} us"
          f"  ratio {r:5.2f}x  (min {min(ours) * 1e6:.1f} / {min(bare) * 1e6:.1f} us){verdict}")
    return r


def per_call(kind, url, path, loop):
    dao, adao = Dao(), AsyncDao()
    conn, m = bare_sync(kind, url, path)
    bare = sync_cases(kind, conn, m)
    with switch_datasource(kind):
        ours = (lambda: dao.adults(5), lambda: dao.add("n", 1, "x"), lambda: dao.page(18, Page(3, 10)),
                lambda: dao.one(7))
        assert ours[0]() == bare[0]() and ours[2]() == bare[2]() and ours[3]() == bare[3]()
        header(f"{kind}, sync: zorvane vs the bare driver with a kept connection ({ROUNDS} rounds of {CALLS} calls, median)")
        for label, o, b in zip(LABELS, ours, bare):
            o(), b()
            to, tb = [], []
            for _ in range(ROUNDS):
                to.append(timed(o, CALLS))
                tb.append(timed(b, CALLS))
            summary(label, to, tb)
    conn.close()

    async def run_async():
        aconn, am = await bare_async(kind, url, path)
        try:
            await timed_async(aconn, am)
        finally:
            await aconn.close() if kind != "mysql" else aconn.close()

    async def timed_async(aconn, am):
        abare = async_cases(kind, aconn, am)

        def scoped(fn):
            async def call():
                with switch_datasource(kind):
                    return await fn()
            return call
        aours = (scoped(lambda: adao.adults(5)), scoped(lambda: adao.add("n", 1, "x")),
                 scoped(lambda: adao.page(18, Page(3, 10))), scoped(lambda: adao.one(7)))
        assert await aours[0]() == await abare[0]() and await aours[3]() == await abare[3]()
        header(f"{kind}, async: zorvane vs the bare async driver with a kept connection ({ROUNDS} rounds, median)")
        for label, o, b in zip(LABELS, aours, abare):
            await o(), await b()
            to, tb = [], []
            for _ in range(ROUNDS):
                to.append(await atimed(o, CALLS))
                tb.append(await atimed(b, CALLS))
            summary(label, to, tb)

    loop.run_until_complete(run_async())


def bulk(kind, url, path, engine):
    start = datetime.datetime(2024, 1, 1)
    rows = [{"name": f"item{i}\t\\", "amount": i, "created": start + datetime.timedelta(seconds=i),
             "note": f"n{i % 97}"} for i in range(ROWS)]
    dao, mapper = Dao(), FloorItems()
    conn, m = bare_sync(kind, url, path)
    many = ITEMS.format(m, m, m, m)
    tuples = [(r["name"], r["amount"], r["created"], r["note"]) for r in rows]

    def executemany():
        cur = conn.cursor()
        cur.executemany(many, tuples)
        conn.commit()
        cur.close()

    cases = {"driver executemany": executemany, "@insert_list": lambda: dao.add_items(rows),
             "BaseMapper.save_batch": lambda: FloorItems().save_batch(rows), "mapper <insert> with a list": lambda: mapper.add(rows)}
    times = {label: [] for label in cases}
    with switch_datasource(kind):
        for _ in range(BULK_ROUNDS):
            for label, fn in cases.items():
                with engine.begin() as c:
                    c.exec_driver_sql("DELETE FROM items")
                t0 = time.perf_counter()
                fn()
                times[label].append(time.perf_counter() - t0)
                with engine.connect() as c:
                    assert c.exec_driver_sql("SELECT COUNT(*) FROM items").scalar() == ROWS, label
    conn.close()
    target = {"postgresql": 5.0, "mysql": 2.0, "sqlite": 1.0}[kind]
    header(f"{kind}: bulk insert of {ROWS:,} rows, 4 columns ({BULK_ROUNDS} interleaved runs, median; "
           f"target: at least {target:.0f}x the speed of executemany)")
    base = statistics.median(times["driver executemany"])
    for label, ts in times.items():
        t = statistics.median(ts)
        verdict = "" if label == "driver executemany" else ("  ok" if base / t >= target else "  BELOW target")
        print(f"   {label:<30} {t:7.3f} s  speed {base / t:5.2f}x  (runs {', '.join(f'{x:.3f}' for x in ts)}){verdict}")


tmp = pathlib.Path(tempfile.mkdtemp())
(tmp / "mappers").mkdir()
(tmp / "mappers" / "FloorItems.xml").write_text(MAPPER)
made = {kind: private_database(base) for kind, base in server_urls().items()}
declared = {"sqlite": {"db_type": "sqlite", "sqlite_path": str(tmp / "floor.db")}}
declared.update({kind: declaration(url) for kind, (_, _, url) in made.items()})
only = os.environ.get("BACKENDS", "").split(",") if os.environ.get("BACKENDS") else list(declared)
loop = asyncio.new_event_loop()
asyncio.set_event_loop(loop)
try:
    ZorvaneConfig(DBConfig(primary="sqlite", mapper_xml_path=str(tmp / "mappers"), **declared))
    for kind in declared:
        if kind not in only:
            continue
        engine = ZorvaneConfig.datasource[kind]["db"]
        Base.metadata.create_all(engine)
        with engine.begin() as c:
            c.execute(sa.insert(Person), [{"name": f"u{i}", "age": i % 90, "note": f"n{i}"} for i in range(500)])
        url = made[kind][2] if kind in made else None
        per_call(kind, url, str(tmp / "floor.db"), loop)
        if ROWS:
            bulk(kind, url, str(tmp / "floor.db"), engine)
    loop.run_until_complete(ZorvaneConfig.dispose_async())
finally:
    loop.close()
    for kind, (admin, name, _) in made.items():
        ZorvaneConfig.datasource.get(kind, {}).get("db", admin).dispose()
        drop_database(admin, name)
