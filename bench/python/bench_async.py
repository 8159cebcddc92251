"""Async calls against hand-written AsyncSession code on the same async engine, per backend."""
import asyncio
import os
import pathlib
import tempfile
import time

import sqlalchemy as sa
from sqlalchemy.ext.asyncio import AsyncSession
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from _fixtures import User
from _timing import acompare, header
from zorvane.zorvane import AsyncBaseMapper, DBConfig, ZorvaneConfig, select_list, switch_datasource

SERVERS = {
    "postgresql": os.environ.get("BENCH_POSTGRES_URL", "postgresql+psycopg://postgres@127.0.0.1:5432/test"),
    "mysql": os.environ.get("BENCH_MYSQL_URL", "mysql+pymysql://root@127.0.0.1:3306/test"),
}
SELECT = "select id, name, age, note from bench_user where age >= #{age} order by id limit 20"
MAPPER = f"""<mapper namespace="BenchUsers"><select id="adults" resultType="_fixtures.User">{SELECT}</select></mapper>"""


class Base(DeclarativeBase):
    pass


class Row(Base):
    __tablename__ = "bench_user"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str] = mapped_column(sa.String(50))
    age: Mapped[int]
    note: Mapped[str] = mapped_column(sa.String(50))


class BenchUsers(AsyncBaseMapper[Row]):
    async def adults(self, age: int) -> list[User]: ...


class Dao:
    @select_list(SELECT)
    async def adults(self, age: int) -> list[User]: ...


def declare(url: sa.URL) -> dict:
    return {"db_type": url.get_backend_name(), "host": url.host, "port": url.port, "user": url.username,
            "password": url.password or "", "database": url.database}


def reachable(url: str) -> bool:
    try:
        eng = sa.create_engine(url)
        with eng.connect():
            pass
        eng.dispose()
        return True
    except Exception:
        return False


tmp = pathlib.Path(tempfile.mkdtemp())
(tmp / "mappers").mkdir()
(tmp / "mappers" / "BenchUsers.xml").write_text(MAPPER)
declared = {"sqlite": {"db_type": "sqlite", "sqlite_path": str(tmp / "bench.db")}}
declared.update({k: declare(sa.make_url(u)) for k, u in SERVERS.items() if reachable(u)})
ZorvaneConfig(DBConfig(primary="sqlite", mapper_xml_path=str(tmp / "mappers"), **declared))
declared = [name for name in declared if name in ZorvaneConfig.datasource]
for name in declared:
    eng = ZorvaneConfig.datasource[name]["db"]
    Base.metadata.drop_all(eng)
    Base.metadata.create_all(eng)
    with eng.begin() as c:
        c.execute(sa.insert(Row), [{"name": f"u{i}", "age": i, "note": f"n{i}"} for i in range(40)])

RAW = sa.text(SELECT.replace("#{age}", ":age"))
mapper, dao = BenchUsers(), Dao()
loop = asyncio.new_event_loop()
asyncio.set_event_loop(loop)

for name in declared:
    async def engine_of():
        return ZorvaneConfig.async_engine(name)

    engine = loop.run_until_complete(engine_of())

    async def interface():
        with switch_datasource(name):
            return await mapper.adults(5)

    async def decorator():
        with switch_datasource(name):
            return await dao.adults(5)

    async def by_hand():
        async with AsyncSession(engine) as s:
            result = await s.execute(RAW, {"age": 5})
            keys = list(result.keys())
            return [User(**dict(zip(keys, r))) for r in result.all()]

    async def insert():
        with switch_datasource(name):
            return await mapper.insert({"name": "x", "age": 1, "note": "w"})

    async def insert_by_hand():
        async with AsyncSession(engine) as s:
            result = await s.execute(sa.insert(Row).values(name="x", age=1, note="w"))
            await s.commit()
            return result.inserted_primary_key[0]

    assert loop.run_until_complete(interface()) == loop.run_until_complete(by_hand())
    assert loop.run_until_complete(decorator()) == loop.run_until_complete(by_hand())
    header(f"async calls on {name} (target: at most 1.00x)")
    acompare("mapper interface, 20 rows into dataclasses vs AsyncSession", interface, by_hand, 200, 11, 1.00)
    acompare("@select_list on async def vs AsyncSession", decorator, by_hand, 200, 11, 1.00)
    acompare("AsyncBaseMapper.insert vs AsyncSession insert + commit", insert, insert_by_hand, 200, 11, 1.00)

    async def concurrent(fn, n=100):
        t0 = time.perf_counter()
        await asyncio.gather(*(fn() for _ in range(n)))
        return n / (time.perf_counter() - t0)

    async def throughput():
        ours = max([await concurrent(decorator) for _ in range(5)])
        hand = max([await concurrent(by_hand) for _ in range(5)])
        return ours, hand

    ours, hand = loop.run_until_complete(throughput())
    print(f"   100 concurrent tasks, one select each: {ours:9.0f} calls/s vs {hand:9.0f} calls/s  throughput {ours / hand:5.2f}x")

loop.run_until_complete(ZorvaneConfig.dispose_async())
for name in declared:
    Base.metadata.drop_all(ZorvaneConfig.datasource[name]["db"])
loop.close()
