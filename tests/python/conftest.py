"""Shared fixtures: real SQLite files and a private database on the MariaDB server."""
import uuid

import pytest
import sqlalchemy as sa


def pytest_addoption(parser):
    parser.addoption("--mysql-url", default=None, help="server URL, e.g. mysql+pymysql://root@127.0.0.1:3306/test")
    parser.addoption("--leak-rounds", type=int, default=200, help="repetitions per operation in test_native_leaks")


@pytest.fixture(scope="session")
def mysql_url(request):
    """URL of a database created for this test run on the server; dropped afterwards."""
    base = request.config.getoption("--mysql-url")
    if not base:
        pytest.skip("no --mysql-url")
    url = sa.make_url(base)
    name = f"zv_{uuid.uuid4().hex[:12]}"
    admin = sa.create_engine(url)
    with admin.begin() as c:
        c.exec_driver_sql(f"CREATE DATABASE {name} CHARACTER SET utf8mb4")
    yield url.set(database=name)
    with admin.begin() as c:
        c.exec_driver_sql(f"DROP DATABASE IF EXISTS {name}")
    admin.dispose()


@pytest.fixture
def sqlite_url(tmp_path):
    return sa.make_url(f"sqlite:///{tmp_path / 'db.sqlite'}")


@pytest.fixture(params=["sqlite", "mysql"])
def backend(request):
    return request.param


@pytest.fixture
def engine(backend, request):
    """One engine per backend; the MySQL one works in this run's private database."""
    url = request.getfixturevalue("sqlite_url" if backend == "sqlite" else "mysql_url")
    eng = sa.create_engine(url)
    yield eng
    eng.dispose()


@pytest.fixture
def sqlite_engine(sqlite_url):
    eng = sa.create_engine(sqlite_url)
    yield eng
    eng.dispose()


def create_user_table(engine, name="user"):
    """(Re)creates a table `name` with an auto-increment id, name, age and note."""
    key = "INTEGER PRIMARY KEY AUTOINCREMENT" if engine.dialect.name == "sqlite" else "INTEGER PRIMARY KEY AUTO_INCREMENT"
    with engine.begin() as c:
        c.exec_driver_sql(f"DROP TABLE IF EXISTS {name}")
        c.exec_driver_sql(f"CREATE TABLE {name} (id {key}, name VARCHAR(50), age INTEGER, note VARCHAR(200))")


def count_rows(engine, table="user"):
    """Rows visible to a fresh connection, i.e. committed ones."""
    with engine.connect() as c:
        return c.exec_driver_sql(f"SELECT COUNT(*) FROM {table}").scalar()


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
