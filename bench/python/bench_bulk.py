"""Bulk insert of 100,000 rows (4 columns) on SQLite, MariaDB and PostgreSQL: @insert_list and
BaseMapper.save_batch against hand-written SQLAlchemy Core insert() executemany on the same engine.

Server URLs come from MYSQL_URL and POSTGRES_URL (SQLite always runs, in a file); ROWS and REPEAT
override the row count and the number of alternating runs."""
import datetime
import os
import pathlib
import tempfile
import time

import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from _fixtures import declaration, drop_database, private_database, server_urls
from _timing import header
from zorvane.zorvane import BaseMapper, DBConfig, ZorvaneConfig, insert_list, switch_datasource

ROWS = int(os.environ.get("ROWS", 100_000))
REPEAT = int(os.environ.get("REPEAT", 3))


class Base(DeclarativeBase):
    pass


class Item(Base):
    __tablename__ = "items"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str] = mapped_column(sa.String(50))
    amount: Mapped[int]
    created: Mapped[datetime.datetime]
    note: Mapped[str] = mapped_column(sa.String(50))


class Items(BaseMapper[Item]):
    pass


class Dao:
    @insert_list("INSERT INTO items (name, amount, created, note) VALUES (:name, :amount, :created, :note)")
    def add(self, data: list) -> None: ...


tmp = pathlib.Path(tempfile.mkdtemp())
declared = {"sqlite": {"db_type": "sqlite", "sqlite_path": str(tmp / "bulk.db")}}
made = {kind: private_database(base) for kind, base in server_urls().items()}
declared.update({kind: declaration(url) for kind, (_, _, url) in made.items()})
start = datetime.datetime(2024, 1, 1)
rows = [{"name": f"item{i}", "amount": i, "created": start + datetime.timedelta(seconds=i), "note": f"n{i % 97}"}
        for i in range(ROWS)]
dao, items = Dao(), Items()
try:
    ZorvaneConfig(DBConfig(primary="sqlite", **declared))
    for kind in declared:
        engine = ZorvaneConfig.datasource[kind]["db"]
        Base.metadata.create_all(engine)
        table = Item.__table__

        def by_hand():
            with engine.begin() as c:
                c.execute(sa.insert(table), rows)

        cases = {"hand-written insert(table) executemany": by_hand, "@insert_list": lambda: dao.add(rows),
                 "BaseMapper.save_batch": lambda: items.save_batch(rows)}
        times = {label: [] for label in cases}
        with switch_datasource(kind):
            for _ in range(REPEAT):
                for label, fn in cases.items():
                    with engine.begin() as c:
                        c.execute(sa.delete(table))
                    t0 = time.perf_counter()
                    fn()
                    times[label].append(time.perf_counter() - t0)
                    with engine.connect() as c:
                        assert c.execute(sa.select(sa.func.count()).select_from(table)).scalar() == ROWS
        header(f"{kind}: bulk insert of {ROWS:,} rows, 4 columns (target: at most 1.00x of insert(table) executemany)")
        hand = min(times["hand-written insert(table) executemany"])
        for label, ts in times.items():
            best = min(ts)
            print(f"   {label:<42} {best:7.3f} s  ratio {best / hand:5.2f}x  (runs {', '.join(f'{t:.3f}' for t in ts)})")
finally:
    for kind, (admin, name, _) in made.items():
        ZorvaneConfig.datasource.get(kind, {}).get("db", admin).dispose()
        drop_database(admin, name)
