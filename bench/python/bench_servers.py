"""End-to-end calls on SQLite, MariaDB and PostgreSQL against hand-written SQLAlchemy code on the same engine.

Server URLs come from MYSQL_URL and POSTGRES_URL (`make bench` passes them); each run works in a
private database that it creates and drops, SQLite in a file of its own."""
import os
import pathlib
import tempfile

import sqlalchemy as sa
from sqlalchemy.orm import Session

from _fixtures import Base, User, UserRow, declaration, drop_database, private_database, server_urls
from _timing import compare, header
from zorvane.db.ostrane import Page
from zorvane.zorvane import BaseMapper, DBConfig, ZorvaneConfig, select_list, select_page, switch_datasource


ADULTS = "SELECT id, name, age, note FROM users WHERE age >= {} ORDER BY id LIMIT 20"
PAGED = "SELECT id, name, age, note FROM users WHERE age > {} ORDER BY id"
MAPPER = f"""<mapper namespace="UsersMapper">
  <select id="adults" resultType="_fixtures.User">{ADULTS.format("#{min_age}")}</select>
</mapper>"""


class UsersMapper(BaseMapper[UserRow]):
    def adults(self, min_age: int) -> list[User]: ...


class UserDao:
    @select_list(ADULTS.format("#{min_age}"))
    def adults(self, min_age: int) -> list[User]: ...

    @select_page(PAGED.format("#{age}"))
    def page(self, age: int, page: Page) -> list[User]: ...


def run(kind, engine):
    Base.metadata.create_all(engine)
    with engine.begin() as c:
        c.execute(sa.insert(UserRow), [{"name": f"u{i}", "age": i % 90, "note": f"n{i}"} for i in range(500)])
    mapper, dao = UsersMapper(), UserDao()
    adults, paged = sa.text(ADULTS.format(":min_age")), sa.text(PAGED.format(":age"))
    count = sa.text("SELECT COUNT(*) FROM users WHERE age > :age")
    limited = sa.text(PAGED.format(":age") + " LIMIT :n OFFSET :o")

    def adults_by_hand():
        with Session(engine) as s:
            result = s.execute(adults, {"min_age": 5})
            keys = list(result.keys())
            return [User(**dict(zip(keys, r))) for r in result.all()]

    def insert_by_hand():
        with Session(engine) as s:
            key = s.execute(sa.insert(UserRow).values(name="n", age=1, note="x")).inserted_primary_key[0]
            s.commit()
            return key

    def page_by_hand():
        with Session(engine) as s:
            total = s.execute(count, {"age": 18}).scalar()
            result = s.execute(limited, {"age": 18, "n": 10, "o": 20})
            keys = list(result.keys())
            rows = [User(**dict(zip(keys, r))) for r in result.all()]
            s.commit()
        return {"pageNum": 3, "pageSize": 10, "total": total, "list": rows}

    row = {"name": "n", "age": 1, "note": "x"}
    with switch_datasource(kind):
        assert mapper.adults(5) == dao.adults(5) == adults_by_hand() and len(adults_by_hand()) == 20
        assert dao.page(18, Page(3, 10)) == page_by_hand()
        assert mapper.insert(row) + 1 == insert_by_hand()
        target = 0.90 if kind == "sqlite" else 1.00
        header(f"{kind}: end-to-end calls vs hand-written SQLAlchemy on the same engine (target: within {target:.2f}x)")
        compare("mapper interface, 20 rows into dataclasses", lambda: mapper.adults(5), adults_by_hand, 20, 51, target)
        compare("@select_list, 20 rows into dataclasses", lambda: dao.adults(5), adults_by_hand, 20, 51, target)
        compare("BaseMapper.insert(dict) vs insert(Model).values", lambda: mapper.insert(row), insert_by_hand, 20, 51, target)
        compare("@select_page, page 3 of 10 into dataclasses", lambda: dao.page(18, Page(3, 10)), page_by_hand, 20, 51, target)


servers = server_urls()
made = {kind: private_database(base) for kind, base in servers.items()}
mappers = pathlib.Path(tempfile.mkdtemp())
(mappers / "users.xml").write_text(MAPPER)
declared = {"sqlite": {"db_type": "sqlite", "sqlite_path": str(mappers / "bench.db")}}
declared.update({kind: declaration(url) for kind, (_, _, url) in made.items()})
only = os.environ.get("BACKENDS", "").split(",") if os.environ.get("BACKENDS") else list(declared)
try:
    ZorvaneConfig(DBConfig(mapper_xml_path=str(mappers), primary="sqlite", **declared))
    for kind in declared:
        if kind in only:
            run(kind, ZorvaneConfig.datasource[kind]["db"])
finally:
    for kind, (admin, name, _) in made.items():
        ZorvaneConfig.datasource.get(kind, {}).get("db", admin).dispose()
        drop_database(admin, name)
