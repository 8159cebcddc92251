"""BaseMapper: a mapper-interface call, select_by_id and insert against hand-written SQLAlchemy code."""
import pathlib
import tempfile

import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

from _fixtures import PUser, User, fill_users
from _timing import compare, header
from zorvane.zorvane import BaseMapper, DBConfig, ZorvaneConfig


class Base(DeclarativeBase):
    pass


class UserRow(Base):
    __tablename__ = "user"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str]
    age: Mapped[int]
    note: Mapped[str]


SQL = "SELECT id, name, age, note FROM user WHERE age >= {} ORDER BY id LIMIT 20"
tmp = pathlib.Path(tempfile.mkdtemp())
(tmp / "mappers").mkdir()
(tmp / "mappers" / "user.xml").write_text(f"""<mapper namespace="UserMapper">
  <select id="adults" resultType="_fixtures.User">{SQL.format("#{min_age}")}</select>
  <select id="adults_p" resultType="_fixtures.PUser">{SQL.format("#{min_age}")}</select>
</mapper>""")

ZorvaneConfig(DBConfig(mapper_xml_path=str(tmp / "mappers"), main={"db_type": "sqlite", "sqlite_path": str(tmp / "b.db")}))
engine = ZorvaneConfig.datasource["main"]["db"]
Base.metadata.create_all(engine)
fill_users(engine, create=False)


class UserMapper(BaseMapper[UserRow]):
    def adults(self, min_age: int) -> list[User]: ...

    def adults_p(self, min_age: int) -> list[PUser]: ...


mapper = UserMapper()
stmt = sa.text(SQL.format(":min_age"))


def by_hand(cls):
    def run():
        with Session(engine) as s:
            rows = s.execute(stmt, {"min_age": 5})
            keys = list(rows.keys())
            return [cls(**dict(zip(keys, r))) for r in rows.all()]
    return run


assert mapper.adults(5) == by_hand(User)() and len(mapper.adults(5)) == 20
assert mapper.adults_p(5) == by_hand(PUser)()

header("Mapper interface call, 20 rows into models, SQLite file (target: within 0.90x)")
compare("mapper.adults(5) -> dataclasses vs Session/execute/dict(zip)", lambda: mapper.adults(5), by_hand(User), 40, 151, 0.90)
compare("mapper.adults_p(5) -> pydantic vs Session/execute/dict(zip)", lambda: mapper.adults_p(5), by_hand(PUser), 40, 151, 1.05)



class Plain:
    def adults(self, min_age: int) -> list[User]: ...


plain = Plain()
compare("fetch of mapper.adults (cached wrapper) vs a plain method fetch (no target)", lambda: mapper.adults,
        lambda: plain.adults, 20000, 15)


def select_by_hand():
    with Session(engine, expire_on_commit=False) as s:
        row = s.execute(sa.select(UserRow).where(UserRow.id == 7)).scalar_one_or_none()
        s.commit()
        return row


def insert_by_hand():
    with Session(engine) as s:
        result = s.execute(sa.insert(UserRow).values(name="n", age=1, note="x"))
        s.commit()
        return result.inserted_primary_key[0]


assert mapper.select_by_id(7).name == select_by_hand().name == "u6"
header("select_by_id and insert, a session per call, SQLite file (insert target: within 0.90x)")
compare("mapper.select_by_id(7) vs select(Model).where(id == 7) by hand", lambda: mapper.select_by_id(7), select_by_hand,
        40, 151, 1.10)
row = {"name": "n", "age": 1, "note": "x"}
compare("mapper.insert(dict) vs insert(Model).values(**row) by hand", lambda: mapper.insert(row), insert_by_hand,
        10, 151, 0.90)
engine.dispose()
