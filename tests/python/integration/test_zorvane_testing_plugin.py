"""The pytest plugin zorvane.testing, used by a small sample project run with pytester."""
import pytest

from conftest import datasource_decl

pytest_plugins = ["pytester"]
pytestmark = pytest.mark.greenlet

SAMPLE = '''
import asyncio

import pytest
import sqlalchemy as sa
from zorvane.zorvane import DBConfig, ZorvaneConfig, insert, select_list, switch_datasource

pytest_plugins = ["zorvane.testing"]


class Items:
    @insert("INSERT INTO item (name) VALUES (#{name})")
    def add(self, name: str) -> int: ...

    @select_list("SELECT name FROM item ORDER BY name")
    def names(self) -> list[dict]: ...

    @select_list("SELECT name FROM item ORDER BY name")
    async def names_async(self) -> list[dict]: ...


@pytest.fixture(scope="module", autouse=True)
def db():
    ZorvaneConfig(DBConfig(main=DECL))
    with ZorvaneConfig.datasource["main"]["db"].begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS item")
        c.exec_driver_sql("CREATE TABLE item (name VARCHAR(20) PRIMARY KEY)")


def test_the_statements_of_a_test_in_order(zorvane_statements):
    with switch_datasource("main"):
        Items().add("a")
        with pytest.raises(sa.exc.IntegrityError):
            Items().add("a")
        assert Items().names() == [{"name": "a"}]
    seen = [(s.id, s.operation, s.rows, s.params, s.datasource, s.error is None) for s in zorvane_statements]
    assert seen == [("Items.add", "INSERT", 1, {"name": "a"}, "main", True),
                    ("Items.add", "INSERT", None, {"name": "a"}, "main", False),
                    ("Items.names", "SELECT", 1, {}, "main", True)]
    assert all("item" in s.sql and s.duration_ms >= 0 for s in zorvane_statements)


def test_statements_outside_the_fixture_are_not_kept():
    with switch_datasource("main"):
        Items().add("b")


def test_each_test_gets_its_own_list_async_calls_too(zorvane_statements):
    assert zorvane_statements == []

    async def work():
        try:
            with switch_datasource("main"):
                return await Items().names_async()
        finally:
            await ZorvaneConfig.dispose_async()

    assert asyncio.run(work()) == [{"name": "a"}, {"name": "b"}]
    assert [(s.id, s.rows) for s in zorvane_statements] == [("Items.names_async", 2)]
'''


def test_zorvane_statements_in_a_sample_project(pytester, engine):
    pytester.makepyfile(test_sample=SAMPLE.replace("DECL", repr(datasource_decl(engine.url))))
    result = pytester.runpytest_subprocess("-q", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=3)

