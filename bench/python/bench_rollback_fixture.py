"""zorvane_rollback's cost per test: a project of 200 tests, each running one select through a decorated
function, run by pytest with and without the fixture, alternating; per backend (SQLite file, and the
servers of MYSQL_URL / POSTGRES_URL). The difference of the best runs, divided by the tests, is the cost."""
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import sqlalchemy as sa

from _fixtures import declaration, drop_database, private_database, server_urls

TESTS, ROUNDS = 200, int(os.environ.get("ROUNDS", "5"))

PROJECT = '''
import pytest
from zorvane.zorvane import DBConfig, ZorvaneConfig, select_one, switch_datasource

pytest_plugins = ["zorvane.testing"]
pytestmark = pytest.mark.usefixtures(*FIXTURES)


class Dao:
    @select_one("SELECT count(*) AS n FROM item WHERE name = #{name}")
    def count(self, name: str) -> int: ...


@pytest.fixture(scope="module", autouse=True)
def db():
    ZorvaneConfig(DBConfig(main=DECL))


@pytest.mark.parametrize("i", range(TESTS))
def test_one_select(i):
    with switch_datasource("main"):
        assert Dao().count(str(i)) == 0
'''


def run(folder, decl, fixtures):
    (folder / "test_many.py").write_text(PROJECT.replace("FIXTURES", repr(fixtures)).replace("TESTS", str(TESTS))
                                         .replace("DECL", repr(decl)))
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_many.py"], cwd=folder,
                          capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if done.returncode:
        sys.exit(done.stdout[-3000:])
    return elapsed


def measure(kind, decl, url):
    engine = sa.create_engine(url)
    with engine.begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS item")
        c.exec_driver_sql("CREATE TABLE item (name VARCHAR(20) PRIMARY KEY)")
    engine.dispose()
    plain, rolled = [], []
    with tempfile.TemporaryDirectory() as d:
        folder = pathlib.Path(d)
        for _ in range(ROUNDS):
            plain.append(run(folder, decl, ()))
            rolled.append(run(folder, decl, ("zorvane_rollback",)))
    cost = (min(rolled) - min(plain)) / TESTS * 1000
    print(f"{kind:10} {TESTS} tests: without {min(plain):.3f} s, with zorvane_rollback {min(rolled):.3f} s "
          f"(best of {ROUNDS}); {cost:+.3f} ms per test; medians {sorted(plain)[ROUNDS // 2]:.3f} / "
          f"{sorted(rolled)[ROUNDS // 2]:.3f} s")


path = pathlib.Path(tempfile.mkdtemp()) / "bench.db"
measure("sqlite", {"db_type": "sqlite", "sqlite_path": str(path)}, f"sqlite:///{path}")
only = os.environ.get("BACKENDS", "").split(",") if os.environ.get("BACKENDS") else None
for kind, base in server_urls().items():
    if only and kind not in only:
        continue
    admin, name, url = private_database(base)
    try:
        measure(kind, declaration(url), url)
    finally:
        drop_database(admin, name)
