"""Datasources from the DBConfig: selection, scopes and transactional classes"""
from typing import Any
import sqlalchemy as sa

from zorvane.zorvane import DBConfig, ZorvaneConfig, datasource, db_session, get_current_db, switch_datasource


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    ZorvaneConfig(DBConfig(other={"db_type": "sqlite", "sqlite_path": ":memory:"}))  # configured once: ignored
    show("registry (declared in the first section)", sorted(ZorvaneConfig.datasource))
    show("mapper namespaces", sorted(ZorvaneConfig.zorvane_mapper_dict))
    show("get_current_db()", get_current_db())
    with switch_datasource("report") as name:
        show("inside switch_datasource('report')", (name, get_current_db()))
    show("after the block", get_current_db())

    with db_session("report") as s:
        s.execute(sa.text("CREATE TABLE audit (id INTEGER PRIMARY KEY, what TEXT)"))

    @datasource("report", transactional=True)
    class AuditService:
        def record(self, *events: str, fail: bool = False) -> str | None:
            kelvor = ZorvaneConfig.datasource[str(get_current_db())]["kelvor"]
            for e in events:
                kelvor.insert(sa.text("INSERT INTO audit (what) VALUES (:w)"), {"w": e})
            if fail:
                raise RuntimeError("rolled back")
            return get_current_db()

    svc = AuditService()
    show("record() runs on", svc.record("login", "logout"))
    try:
        svc.record("lost", "too", fail=True)
    except RuntimeError as e:
        show("record(fail=True) raised", str(e))
    with db_session("report") as s:
        show("audit rows (one transaction kept)", s.execute(sa.text("SELECT what FROM audit ORDER BY id")).scalars().all())
