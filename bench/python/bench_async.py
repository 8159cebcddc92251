"""Async calls against hand-written AsyncSession code on the same async engine: SQLite, and the
servers of MYSQL_URL / POSTGRES_URL (each in a private database it creates and drops)."""
import asyncio
import pathlib
import tempfile
import time

import sqlalchemy as sa
from sqlalchemy.ext.asyncio import AsyncSession

from _fixtures import Base, User, UserRow, declaration, drop_database, private_database, server_urls
from _timing import acompare, header
from zorvane.zorvane import AsyncBaseMapper, DBConfig, ZorvaneConfig, select_list, switch_datasource

SELECT = "select id, name, age, note from users where age >= #{age} order by id limit 20"
MAPPER = f"""<mapper namespace="AsyncUsers"><select id="adults" resultType="_fixtures.User">{SELECT}</select></mapper>"""
RAW = sa.text(SELECT.replace("#{age}", ":age"))


class AsyncUsers(AsyncBaseMapper[UserRow]):
    async def adults(self, age: int) -> list[User]: ...


class Dao:
    @select_list(SELECT)
    async def adults(self, age: int) -> list[User]: ...


def cases(name, loop):
    mapper, dao = AsyncUsers(), Dao()

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
            result = await s.execute(sa.insert(UserRow).values(name="x", age=1, note="w"))
            await s.commit()
            return result.inserted_primary_key[0]

    assert loop.run_until_complete(interface()) == loop.run_until_complete(decorator()) == loop.run_until_complete(by_hand())
    header(f"async calls on {name} vs hand-written AsyncSession code on the same engine (target: at most 1.00x)")
    acompare("mapper interface, 20 rows into dataclasses", interface, by_hand, 200, 11, 1.00)
    acompare("@select_list on async def, 20 rows into dataclasses", decorator, by_hand, 200, 11, 1.00)
    acompare("AsyncBaseMapper.insert vs insert + commit", insert, insert_by_hand, 200, 11, 1.00)

    async def concurrent(fn, n=100):
        t0 = time.perf_counter()
        await asyncio.gather(*(fn() for _ in range(n)))
        return n / (time.perf_counter() - t0)

    async def throughput():
        return max([await concurrent(decorator) for _ in range(5)]), max([await concurrent(by_hand) for _ in range(5)])

    ours, hand = loop.run_until_complete(throughput())
    print(f"   100 concurrent tasks, one select each: {ours:9.0f} calls/s vs {hand:9.0f} calls/s  throughput {ours / hand:5.2f}x")


tmp = pathlib.Path(tempfile.mkdtemp())
(tmp / "mappers").mkdir()
(tmp / "mappers" / "AsyncUsers.xml").write_text(MAPPER)
made = {kind: private_database(base) for kind, base in server_urls().items()}
declared = {"sqlite": {"db_type": "sqlite", "sqlite_path": str(tmp / "bench.db")}}
declared.update({kind: declaration(url) for kind, (_, _, url) in made.items()})
loop = asyncio.new_event_loop()
asyncio.set_event_loop(loop)
try:
    ZorvaneConfig(DBConfig(primary="sqlite", mapper_xml_path=str(tmp / "mappers"), **declared))
    for name in declared:
        eng = ZorvaneConfig.datasource[name]["db"]
        Base.metadata.create_all(eng)
        with eng.begin() as c:
            c.execute(sa.insert(UserRow), [{"name": f"u{i}", "age": i, "note": f"n{i}"} for i in range(40)])
        cases(name, loop)
    loop.run_until_complete(ZorvaneConfig.dispose_async())
finally:
    loop.close()
    for kind, (admin, name, _) in made.items():
        ZorvaneConfig.datasource.get(kind, {}).get("db", admin).dispose()
        drop_database(admin, name)
