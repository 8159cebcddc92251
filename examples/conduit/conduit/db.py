"""examples/conduit/conduit/db.py: the datasource from CONDUIT_DB and the schema of its database."""
import os
from pathlib import Path

import sqlalchemy as sa

from zorvane.zorvane import DBConfig, ZorvaneConfig

HERE = Path(__file__).resolve().parent
DEFAULT_DB = f"sqlite:///{HERE.parent / 'conduit.db'}"
PORTS = {"mysql": 3306, "postgresql": 5432}


def datasource_of(url: str) -> dict:
    """The datasource declaration of sqlite:///file, postgresql://... or mysql://... (driver suffixes allowed)."""
    u = sa.make_url(url)
    kind = u.get_backend_name()
    kind = {"postgres": "postgresql", "mariadb": "mysql"}.get(kind, kind)
    if kind == "sqlite":
        # writers queue for the file lock instead of failing after the driver's 5 s
        return {"db_type": "sqlite", "sqlite_path": u.database, "connect_args": {"timeout": 30}}
    if kind not in PORTS:
        raise ValueError(f"CONDUIT_DB: unsupported database {kind!r} (sqlite, postgresql or mysql)")
    return {"db_type": kind, "host": u.host or "127.0.0.1", "port": u.port or PORTS[kind], "user": u.username,
            "password": u.password or "", "database": u.database}


def configure(url: str | None = None) -> str:
    """Declares datasource "main" (the process-wide zorvane configuration) and creates the tables; the database kind."""
    decl = datasource_of(url or os.environ.get("CONDUIT_DB") or DEFAULT_DB)
    ZorvaneConfig(DBConfig(primary="main", mapper_xml_path=str(HERE / "mappers"), main=decl))
    create_schema(ZorvaneConfig.datasource["main"]["db"], decl["db_type"])
    return decl["db_type"]


def create_schema(engine: sa.Engine, kind: str) -> None:
    """Runs schema/<kind>.sql; every statement in it is IF NOT EXISTS."""
    script = (HERE.parent / "schema" / f"{kind}.sql").read_text()
    statements = [s for s in script.split(";") if "CREATE" in s]
    with engine.begin() as c:
        for s in statements:
            c.exec_driver_sql(s)
