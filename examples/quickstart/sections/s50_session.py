"""Session object: nested transactions and result conversion"""
import dataclasses
from typing import Any, List

import sqlalchemy as sa

from zorvane.db.kelvor import ZorvaneSqlSession, results_handle


@dataclasses.dataclass
class Person:
    name: str
    age: int


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    engine = ctx["engine"]
    session = ZorvaneSqlSession(mapper_dict={}, data_source=engine)
    ins = sa.text("insert into user (name, age, city) values (:name, :age, :city)")

    def committed() -> int:  # what a second connection sees
        with engine.connect() as c:
            return int(c.exec_driver_sql("select count(*) from user").scalar_one())

    before = committed()
    session.begin_tx()
    session.insert(ins, {"name": "fay", "age": 33, "city": "Bern"})
    session.begin_tx()  # joins the open transaction: one level deeper
    session.insert(ins, {"name": "gus", "age": 61, "city": "Bern"})
    show("depth after two begin_tx", session._tx_depth.get())
    session.commit()
    show("rows seen elsewhere after the inner commit", committed() - before)
    session.commit()
    show("rows seen elsewhere after the outer commit", committed() - before)
    session.close()

    session.begin_tx()
    session.insert(ins, {"name": "hal", "age": 5, "city": "Nice"})
    session.begin_tx()
    session.rollback()  # at any level: the whole transaction is gone
    session.close()
    show("rows kept after an inner rollback", committed() - before - 2)

    rows = session.select_list(sa.text("select name, age from user where city = :c order by id limit 3"), {"c": "Bern"})
    show("select_list rows (first three)", rows)
    show("results_handle -> List[Person]", results_handle(rows, Person, List[Person]))
    show("results_handle -> Person (first row)", results_handle(rows, Person, Person))
    show("results_handle -> list of dict rows", results_handle(rows, dict, list[dict]) is rows)  # type: ignore[type-arg]
    count = session.select_list(sa.text("select count(*) as n from user"))
    show("results_handle -> int", results_handle(count, int, int))
    try:
        results_handle(count, int, str)
    except TypeError as e:
        show("results_handle int rows as str", str(e))
