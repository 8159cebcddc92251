"""ZorvaneSqlSession.execute_sql and results_handle against hand-written SQLAlchemy code."""
import sqlalchemy as sa
from sqlalchemy.orm import Session

from _fixtures import PUser, User, fill_users, sqlite_file_engine
from _timing import compare, header
from zorvane.db.kelvor import ZorvaneSqlSession, results_handle


engine = sqlite_file_engine()
fill_users(engine)
stmt = sa.text("select id, name, age, note from user where age >= :age order by id limit 20")
values = {"age": 5}


class PreparedMapper:
    """The mapper's get_sql contract for one statement prepared in advance: no rendering per call."""

    def get_sql(self, sql_id, params=None):
        return stmt, values, "select", User


session = ZorvaneSqlSession(mapper_dict={"UserMapper": PreparedMapper()}, data_source=engine)


def ours():
    return session.execute_sql("adults", "UserMapper", values, return_type=list[User])


def by_hand():
    with Session(engine) as s:
        rows = s.execute(stmt, values)
        keys = list(rows.keys())
        return [User(**dict(zip(keys, r))) for r in rows.all()]


assert ours() == by_hand() and len(ours()) == 20

header("execute_sql, 20-row select into dataclasses, SQLite file (target: within 1.05x)")
compare("execute_sql vs Session/execute/dict(zip)/User(**row)", ours, by_hand, 300, 21, 1.05)

header("results_handle, 10,000 row dicts into dataclasses (target: within 1.10x)")
rows = [{"id": i, "name": f"u{i}", "age": i % 90, "note": f"n{i}"} for i in range(10_000)]
assert results_handle(rows, User, list[User]) == [User(**r) for r in rows]
compare("results_handle(rows, User, list[User]) vs [User(**r) for r in rows]",
        lambda: results_handle(rows, User, list[User]), lambda: [User(**r) for r in rows], 20, 15, 1.10)
compare("same, pydantic model (no target)",
        lambda: results_handle(rows, PUser, list[PUser]), lambda: [PUser(**r) for r in rows], 5, 9)
engine.dispose()
