"""Shared fixtures: real SQLite files and private databases on the MariaDB and PostgreSQL servers."""
import pathlib
import uuid

import pytest
import sqlalchemy as sa


def pytest_addoption(parser):
    parser.addoption("--mysql-url", default=None, help="server URL, e.g. mysql+pymysql://root@127.0.0.1:3306/test")
    parser.addoption("--postgres-url", default=None,
                     help="server URL, e.g. postgresql+psycopg://postgres@127.0.0.1:5432/test")
    parser.addoption("--leak-rounds", type=int, default=200, help="repetitions per operation in test_native_leaks")
    for kind in ("postgres", "mysql"):
        parser.addoption(f"--{kind}-replicas", default=None,
                         help="PRIMARY_URL,REPLICA_URL of a replicated server pair (default: the private pair of "
                              "tools/replicas.py, started when needed)")


def private_database(base, create):
    """Creates a database named for this run next to `base`; yields its URL, drops it afterwards."""
    url = sa.make_url(base)
    name = f"zv_{uuid.uuid4().hex[:12]}"
    admin = sa.create_engine(url, isolation_level="AUTOCOMMIT")  # PostgreSQL runs no CREATE DATABASE in a transaction
    with admin.connect() as c:
        c.exec_driver_sql(create.format(name))
    yield url.set(database=name)
    with admin.connect() as c:
        c.exec_driver_sql(f"DROP DATABASE IF EXISTS {name}" + (" WITH (FORCE)" if url.get_backend_name() == "postgresql" else ""))
    admin.dispose()


@pytest.fixture(scope="session")
def mysql_url(request):
    """URL of a database created for this test run on the MariaDB server; dropped afterwards."""
    base = request.config.getoption("--mysql-url") or pytest.skip("no --mysql-url")
    yield from private_database(base, "CREATE DATABASE {} CHARACTER SET utf8mb4")


@pytest.fixture(scope="session")
def postgres_url(request):
    """URL of a database created for this test run on the PostgreSQL server; dropped afterwards."""
    base = request.config.getoption("--postgres-url") or pytest.skip("no --postgres-url")
    yield from private_database(base, "CREATE DATABASE {} ENCODING 'UTF8' TEMPLATE template0")


class ReplicaPair:
    """A primary and its replica, each with this run's database; `managed`: started by tools/replicas.py."""

    def __init__(self, kind, primary, replica, managed):
        self.kind, self.primary, self.replica, self.managed = kind, primary, replica, managed


@pytest.fixture(scope="session", params=["postgresql", "mysql"])
def replica_pair(request):
    """A replicated pair of `kind` with a database made for this run on the primary, seen on the replica."""
    import sys
    import time

    kind = request.param
    given = request.config.getoption(f"--{'postgres' if kind == 'postgresql' else 'mysql'}-replicas")
    if given:
        primary, replica = given.split(",")
    else:
        sys.path.insert(0, str(HERE.parents[1] / "tools"))
        import replicas

        got = replicas.ensure().get(kind)
        if isinstance(got, Exception):
            pytest.skip(f"no {kind} replica pair: {got}")
        primary, replica = got["primary"], got["replica"]
    create = ("CREATE DATABASE {} ENCODING 'UTF8' TEMPLATE template0" if kind == "postgresql"
              else "CREATE DATABASE {} CHARACTER SET utf8mb4")
    for url in private_database(primary, create):
        seen = sa.create_engine(sa.make_url(replica).set(database=url.database))
        for _ in range(100):  # the replica has to replay the CREATE DATABASE first
            try:
                seen.connect().close()
                break
            except sa.exc.OperationalError:
                time.sleep(0.1)
        seen.dispose()
        yield ReplicaPair(kind, url, sa.make_url(replica).set(database=url.database), not given)


@pytest.fixture
def sqlite_url(tmp_path):
    return sa.make_url(f"sqlite:///{tmp_path / 'db.sqlite'}")


URL_FIXTURE = {"sqlite": "sqlite_url", "mysql": "mysql_url", "postgresql": "postgres_url"}


@pytest.fixture(params=list(URL_FIXTURE))
def backend(request):
    return request.param


@pytest.fixture
def backend_url(backend, request):
    """URL of the backend's database: a SQLite file or this run's private server database."""
    return request.getfixturevalue(URL_FIXTURE[backend])


@pytest.fixture
def engine(backend_url):
    """One engine per backend, on `backend_url`."""
    eng = sa.create_engine(backend_url)
    yield eng
    eng.dispose()


@pytest.fixture
def sqlite_engine(sqlite_url):
    eng = sa.create_engine(sqlite_url)
    yield eng
    eng.dispose()


DEFAULT_PORT = {"mysql": 3306, "postgresql": 5432}


def datasource_decl(url):
    """The DBConfig declaration of the database at `url`; also the fields of a DataSource."""
    kind = url.get_backend_name()
    if kind == "sqlite":
        return {"db_type": "sqlite", "sqlite_path": url.database}
    return {"db_type": kind, "host": url.host, "port": url.port or DEFAULT_PORT[kind], "user": url.username,
            "password": url.password or "", "database": url.database}


AUTO_KEY = {"sqlite": "INTEGER PRIMARY KEY AUTOINCREMENT", "mysql": "INTEGER PRIMARY KEY AUTO_INCREMENT",
            "postgresql": "INTEGER GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"}


def create_user_table(engine, name="users"):
    """(Re)creates a table `name` with an auto-increment id, name, age and note.

    Not named "user": PostgreSQL reserves that word."""
    key = AUTO_KEY[engine.dialect.name]
    with engine.begin() as c:
        c.exec_driver_sql(f"DROP TABLE IF EXISTS {name}")
        c.exec_driver_sql(f"CREATE TABLE {name} (id {key}, name VARCHAR(50), age INTEGER, note VARCHAR(200))")


def returning_id(engine):
    """What an insert needs to give its new key: " RETURNING id" on PostgreSQL, which has no lastrowid."""
    return " RETURNING id" if engine.dialect.name == "postgresql" else ""


def count_rows(engine, table="users"):
    """Rows visible to a fresh connection, i.e. committed ones."""
    with engine.connect() as c:
        return c.exec_driver_sql(f"SELECT COUNT(*) FROM {table}").scalar()


def sqlite_writable(path):
    """Whether a new connection to the SQLite file takes its write lock at once: no other connection holds a
    write transaction."""
    import sqlite3

    other = sqlite3.connect(path, timeout=0, isolation_level=None)
    try:
        other.execute("BEGIN IMMEDIATE")
        other.execute("ROLLBACK")
        return True
    except sqlite3.OperationalError:
        return False
    finally:
        other.close()


@pytest.fixture
def main_ds(fresh_config, engine, tmp_path):
    """Datasource "main" on the backend (the primary is "side", a SQLite file), with a user table; main's engine."""
    from zorvane.zorvane import DBConfig, ZorvaneConfig

    side = {"db_type": "sqlite", "sqlite_path": str(tmp_path / "side.db")}
    ZorvaneConfig(DBConfig(primary="side", side=side, main=datasource_decl(engine.url)))
    eng = ZorvaneConfig.datasource["main"]["db"]
    create_user_table(eng)
    return eng


@pytest.fixture
def fresh_config():
    """Puts the process-wide configuration back to its first-start state around a test."""
    from zorvane.zorvane import BaseMapper, ZorvaneConfig

    def reset():
        for entry in ZorvaneConfig.datasource.values():
            entry["db"].dispose()
        ZorvaneConfig._instance = None
        ZorvaneConfig._initialized = False
        ZorvaneConfig.datasource = {}
        ZorvaneConfig.raw_sql = False
        ZorvaneConfig.zorvane_mapper_dict = {}
        BaseMapper.datasource = None
        BaseMapper.default_key = None
        BaseMapper.raw_sql = False

    reset()
    yield ZorvaneConfig
    reset()


HERE = pathlib.Path(__file__).parent
SMOKE = ("unit", "docs", "test_build.py")


def pytest_collection_modifyitems(config, items):
    """The unit tests, the build checks and the guide's examples form the `smoke` subset."""
    for item in items:
        if pathlib.Path(item.fspath).relative_to(HERE).parts[0] in SMOKE:
            item.add_marker(pytest.mark.smoke)


def run(coro):
    """asyncio.run, closing the loop's pooled connections before the loop goes."""
    import asyncio

    from zorvane.zorvane import ZorvaneConfig

    async def main():
        try:
            return await coro
        finally:
            await ZorvaneConfig.dispose_async()

    return asyncio.run(main())


def names(engine):
    """The names in table users, sorted."""
    with engine.connect() as c:
        return sorted(c.exec_driver_sql("SELECT name FROM users").scalars())
