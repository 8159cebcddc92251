"""Public operations, succeeding and failing, repeated many times: live objects and memory stay flat.

A missed reference decrement on any path shows up as growth of the total reference count
(debug interpreters only: `make refcount` runs on one), of the interpreter's allocated
blocks (every object, tracked by the collector or not; zero when pymalloc is off) and of
the collector's object list; a leak on the C++ side shows up in the process's resident
memory. `--leak-rounds` sets the repetitions (`make refcount`: 3000, counts printed).
"""
import dataclasses
import gc
import json
import os
import pathlib
import subprocess
import sys

import pytest
import sqlalchemy as sa

from conftest import create_user_table, datasource_decl
from zorvane.db.kelvor import ZorvaneSqlSession
from zorvane.db.ostrane import Page, count_query, limit_query
from zorvane.mapper.vantrel import ParseMapper
from zorvane.utils import corvint, drumsel, malvey, pennick
from zorvane.zorvane import DBConfig, ZorvaneConfig, select_one, select_page, switch_datasource

DATA = pathlib.Path(__file__).parents[1] / "data" / "mappers"
WARMUP = 50
# Under AddressSanitizer freed memory waits in a quarantine, so resident memory grows by
# design; that run's leak report covers the C++ side instead.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@dataclasses.dataclass
class User:
    id: int
    name: str
    age: int
    note: str | None = None


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def counts():
    gc.collect()
    total_refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return sys.getallocatedblocks(), len(gc.get_objects()), rss_kib(), total_refs


def repeat(op, rounds, error=None):
    """Runs `op` (each call raising `error` when given) for a warm-up pass and two measured
    passes of `rounds` calls; returns the counts before and after each measured pass."""
    def once():
        if error is None:
            op()
            return
        try:
            op()
        except error:
            return
        raise AssertionError(f"{op} did not raise {error}")

    # The warm-up fills the grow-only caches, the toolkit's statement cache and the regex
    # cache; such one-time growth can still land in one measured pass, a leak lands in both.
    for _ in range(max(WARMUP, 2 * rounds)):
        once()
    marks = [counts()]
    for _ in range(2):
        for _ in range(rounds):
            once()
        marks.append(counts())
    return marks


def assert_flat(name, rounds, marks):
    first, middle, last = marks
    print(f"\n{name}: refs {first[3]} -> {last[3]}, blocks {first[0]} -> {last[0]}, "
          f"gc objects {first[1]} -> {last[1]}, rss {first[2]} -> {last[2]} KiB", end="")
    # One leaked object per call adds `rounds` to each pass; allocator and parser caches that
    # settle slowly (expat's, on failing loads) add tens of blocks to a pass, never one per call.
    slack = max(20, rounds // 2)
    for what, i in (("allocated blocks", 0), ("collector objects", 1), ("total references", 3)):
        growth = min(middle[i] - first[i], last[i] - middle[i])
        assert growth < slack, f"{name}: {what} grew by {growth} in each of two passes of {rounds} calls"
    assert SANITIZED or last[2] - first[2] < 4096 + rounds, f"{name}: resident memory grew"


@pytest.mark.parametrize("make", [list, lambda: bytes(40)], ids=["tracked", "untracked"])
def test_the_check_sees_one_kept_object_per_call(make, rounds):
    if make is not list and SANITIZED and not hasattr(sys, "gettotalrefcount"):
        pytest.skip("only the allocated blocks see untracked objects, and pymalloc is off")
    kept = []
    with pytest.raises(AssertionError, match="grew by"):
        assert_flat("kept", rounds, repeat(lambda: kept.append(make()), rounds))


@pytest.fixture
def rounds(request):
    return request.config.getoption("--leak-rounds")


@pytest.fixture(scope="module")
def bad_files(tmp_path_factory):
    root = tmp_path_factory.mktemp("bad")
    files = {
        "malformed": "<mapper namespace='t'><select id='a'>x</selec></mapper>",
        "missing_id": "<mapper namespace='t'><select>x</select></mapper>",
        "bad_type": "<mapper namespace='t'><select id='a' resultType='NoSuchType'>x</select></mapper>",
    }
    for name, body in files.items():
        (root / f"{name}.xml").write_text(body)
    return {name: str(root / f"{name}.xml") for name in files} | {"absent": str(root / "absent.xml")}


ELEMENTS = ParseMapper(str(DATA / "elements.xml"))
FIND = {"name": "u1", "min_age": 1, "ids": [1, 2, 3], "order": "age", "note": 1}
TEXT_OPS = {
    "get_sql": (lambda: ELEMENTS.get_sql("where_ifs", {"b": 2}), None),
    "get_sql_foreach": (lambda: ELEMENTS.get_sql("foreach_rows", {"names": ["a", "b"], "age": 3}), None),
    "get_sql_trim_choose": (lambda: ELEMENTS.get_sql("choose", {"k": 1}), None),
    "to_prepared_statement": (lambda: ParseMapper.to_prepared_statement("x = #{a} and y = 'b :c'", {"a": 1}), None),
    "to_replace": (lambda: ParseMapper.to_replace("order by ${col}", {"col": "id"}), None),
    "trim_prefix": (lambda: ParseMapper._trim_prefix(" AND a = 1 OR", {"AND", "OR"}), None),
    "get_sql_param": (lambda: drumsel.get_sql_param("#{a, sql_type=INTEGER} ${b} $f{fmt(a)}"), None),
    "sql_string_format": (lambda: corvint.sql_string_format("it's"), None),
    "replace_cdata": (lambda: corvint.replace_cdata("<![CDATA[a < b]]>"), None),
    "replace_sql_first": (lambda: malvey.replace_sql_first("AND a = 1", "AND|OR", ""), None),
    "get_type_from_string": (lambda: pennick.get_type_from_string("int"), None),
    "count_limit_query": (lambda: limit_query(count_query(sa.text("select a from t")), Page(2, 10)), None),
    # Failing paths: render errors, unknown ids, wrong argument types.
    "missing_attribute": (lambda: ELEMENTS.get_sql("missing_test", {}), KeyError),
    "failing_test_expression": (lambda: ELEMENTS.get_sql("bad_test_untaken", {"deep": 1}), SyntaxError),
    "unknown_name_in_test": (lambda: ELEMENTS.get_sql("foreach_in", {}), NameError),
    "collection_not_list": (lambda: ELEMENTS.get_sql("foreach_in", {"ids": (1, 2)}), Exception),
    "unknown_refid": (lambda: ELEMENTS.get_sql("unknown_refid", {"go": 1}), KeyError),
    "include_cycle": (lambda: ELEMENTS.get_sql("cyclic", {}), ValueError),
    "missing_otherwise": (lambda: ELEMENTS.get_sql("choose_without_otherwise", {"k": 0}), Exception),
    "unknown_id": (lambda: ELEMENTS.get_sql("nope", {}), Exception),
    "wrong_argument_type": (lambda: ParseMapper.to_prepared_statement(123, {}), TypeError),
    "wrong_type_in_scanner": (lambda: drumsel.get_sql_param(None), TypeError),
    "wrong_type_in_literal": (lambda: corvint.sql_string_format(5), TypeError),
}


@pytest.mark.parametrize("name", TEXT_OPS)
def test_text_operations_do_not_leak(name, rounds):
    op, error = TEXT_OPS[name]
    assert_flat(name, rounds, repeat(op, rounds, error))


@pytest.mark.parametrize("name, error", [("malformed", Exception), ("missing_id", Exception),
                                         ("bad_type", ValueError), ("absent", FileNotFoundError)])
def test_bad_mapper_files_do_not_leak(bad_files, name, error, rounds):
    assert_flat(f"load_{name}", rounds, repeat(lambda: ParseMapper(bad_files[name]), rounds, error))


def test_loading_a_mapper_file_does_not_leak(rounds):
    assert_flat("load_user_xml", rounds, repeat(lambda: ParseMapper(str(DATA / "user.xml")), rounds))


@pytest.fixture
def session(engine):
    create_user_table(engine)
    with engine.begin() as c:
        c.execute(sa.text("INSERT INTO users (name, age) VALUES (:n, :a)"), [{"n": f"u{i}", "a": i} for i in range(5)])
    return ZorvaneSqlSession(mapper_dict={"UserMapper": ParseMapper(str(DATA / "user.xml"))}, data_source=engine)


def test_session_operations_do_not_leak(session, rounds):
    ops = {
        "execute_sql_select": (lambda: session.execute_sql("find", "UserMapper", dict(FIND), return_type=list[User]), None),
        "execute_sql_page": (lambda: session.execute_sql("find", "UserMapper", {}, page=Page(2, 2)), None),
        "execute_sql_update": (lambda: session.execute_sql("edit", "UserMapper", {"id": 1, "age": 7}), None),
        "select_one": (lambda: session.select_one(sa.text("select * from users where id = :id"), {"id": 2}), None),
        "transaction": (lambda: (session.begin_tx(), session.select_list(sa.text("select 1")), session.rollback(),
                                 session.close()), None),
        "unknown_namespace": (lambda: session.execute_sql("find", "Nope", {}), Exception),
        "wrong_argument_type": (lambda: session.execute_sql(None, "UserMapper"), TypeError),
        "database_error": (lambda: session.select_list(sa.text("select * from no_such_table")), sa.exc.DBAPIError),
        "failing_transaction": (lambda: (session.begin_tx(), session.select_list(sa.text("select * from nope"))),
                                sa.exc.DBAPIError),
    }
    for name, (op, error) in ops.items():
        if name == "failing_transaction":
            op = (lambda inner: lambda: _rolled_back(session, inner))(op)
        assert_flat(name, rounds, repeat(op, rounds, error))


def _rolled_back(session, op):
    try:
        op()
    finally:
        session.rollback()
        session.close()


def test_decorated_statements_and_scopes_do_not_leak(fresh_config, tmp_path, rounds):
    ZorvaneConfig(DBConfig(main={"db_type": "sqlite", "sqlite_path": str(tmp_path / "main.db")}))
    engine = ZorvaneConfig.datasource["main"]["db"]
    create_user_table(engine)
    with engine.begin() as c:
        c.execute(sa.text("INSERT INTO users (name, age) VALUES ('a', 1), ('b', 2), ('c', 3)"))

    @select_one("select id, name, age, note from users where id = #{id}")
    def find(id) -> User: ...

    @select_page("select id, name from users where age > #{age}")
    def page(age, p: Page) -> list[dict]: ...

    @select_one("select * from no_such_table where id = #{id}")
    def broken(id) -> User: ...

    @select_one("select id, name, age, note from users where id = #{id}")
    def unconvertible(id) -> int: ...

    def scoped():
        with switch_datasource("main"):
            find(1)

    def scoped_failure():
        with switch_datasource("main"):
            raise LookupError("inside the scope")

    ops = {
        "decorated_select_one": (lambda: find(2), None),
        "decorated_select_page": (lambda: page(0, Page(1, 2)), None),
        "decorated_database_error": (lambda: broken(1), sa.exc.DBAPIError),
        "decorated_failed_conversion": (lambda: unconvertible(1), TypeError),
        "switch_datasource": (scoped, None),
        "switch_datasource_failure": (scoped_failure, LookupError),
        "unknown_datasource": (lambda: switch_datasource("nope").__enter__(), Exception),
    }
    for name, (op, error) in ops.items():
        assert_flat(name, rounds, repeat(op, rounds, error))



EXIT_SCENARIO = """
import asyncio, json, sys
from zorvane.zorvane import DBConfig, ZorvaneConfig, select_list, select_one
ZorvaneConfig(DBConfig(main=json.loads(sys.argv[1])))

@select_one("select 1 as one")
def one() -> int: ...

@select_list("select 1 as one")
async def many() -> list[int]: ...

assert one() == 1
assert asyncio.run(many()) == [1]
"""


@pytest.mark.skipif(SANITIZED, reason="a sanitized child interpreter reports the interpreter's own leaks at exit")
def test_nothing_outlives_the_interpreter(backend_url):
    """nanobind lists every instance, type and function of the library still alive at exit:
    what the modules keep is released by their teardown, so a run ends without that report."""
    env = dict(os.environ, ZORVANE_LEAK_WARNINGS="1")
    run = subprocess.run([sys.executable, "-c", EXIT_SCENARIO, json.dumps(datasource_decl(backend_url))],
                         capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "nanobind: leaked" not in run.stderr and "Exception ignored" not in run.stderr, run.stderr[:2000]
