"""Statement forms that read the same on every backend and entry point: IN lists, ${name} identifiers,
upserts, per-database statement variants."""
import asyncio
import types

import pytest
import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from conftest import AUTO_KEY
from zorvane.exception import ParameterError, StatementNotFoundError
from zorvane.mapper.vantrel import ParseMapper
from zorvane.zorvane import AsyncBaseMapper, BaseMapper, ZorvaneConfig, select_list, switch_datasource, update

pytestmark = pytest.mark.greenlet

STATEMENTS = {
    "named": "SELECT id FROM users WHERE name IN (#{names}) ORDER BY id",
    "not_ids": "SELECT id FROM users WHERE age > 0 AND id NOT IN #{ids} ORDER BY id",
    "ordered": "SELECT id, '${order}' AS lit FROM users /* ${order} */ ORDER BY ${order}",
    "reset": "UPDATE users SET age = 0 WHERE ${col} IS NOT NULL",
}
TAGS = {"reset": "update"}
VARIANTS = """
<select id="kind">SELECT 'any' AS k</select>
<select id="kind" db_type="postgresql">SELECT 'pg' AS k</select>
<select id="kind" db_type="mysql">SELECT 'my' AS k</select>
<select id="only" db_type="postgresql">SELECT 'pg' AS k</select>
<select id="tested">SELECT <if test="_db_type == 'sqlite'">'lite'</if><if test="_db_type != 'sqlite'">'server'</if> AS k
</select>"""


class FormMapper(BaseMapper):
    def named(self, names) -> list[dict]: ...
    def not_ids(self, ids) -> list[dict]: ...
    def ordered(self, order) -> list[dict]: ...
    def reset(self, col) -> int: ...
    def kind(self) -> list[dict]: ...
    def only(self) -> list[dict]: ...
    def tested(self) -> list[dict]: ...


class AsyncFormMapper(AsyncBaseMapper):
    async def named(self, names) -> list[dict]: ...
    async def not_ids(self, ids) -> list[dict]: ...
    async def ordered(self, order) -> list[dict]: ...
    async def reset(self, col) -> int: ...
    async def kind(self) -> list[dict]: ...
    async def only(self) -> list[dict]: ...
    async def tested(self) -> list[dict]: ...


AsyncFormMapper.__name__ = "FormMapper"


@pytest.fixture
def forms_ds(main_ds, tmp_path):
    body = "".join(f'<{TAGS.get(k, "select")} id="{k}">{v}</{TAGS.get(k, "select")}>' for k, v in STATEMENTS.items())
    (tmp_path / "mappers").mkdir()
    (tmp_path / "mappers" / "FormMapper.xml").write_text(f'<mapper namespace="FormMapper">{body}{VARIANTS}</mapper>')
    ZorvaneConfig.scan_mapper_xml(str(tmp_path / "mappers"))
    with main_ds.begin() as c:
        c.execute(sa.text("INSERT INTO users (name, age) VALUES ('a', 1), ('b', 2), ('c', 3)"))
    return main_ds


ENTRIES = ["decorator-sync", "decorator-async", "interface-sync", "interface-async"]


def caller(entry):
    kind, mode = entry.split("-")
    is_async = mode == "async"
    if kind == "decorator":
        if is_async:
            async def named(names) -> list[dict]: ...
            async def not_ids(ids) -> list[dict]: ...
            async def ordered(order) -> list[dict]: ...
            async def reset(col) -> int: ...
        else:
            def named(names) -> list[dict]: ...
            def not_ids(ids) -> list[dict]: ...
            def ordered(order) -> list[dict]: ...
            def reset(col) -> int: ...
        fns = {f.__name__: (update if f.__name__ in TAGS else select_list)(STATEMENTS[f.__name__])(f)
               for f in (named, not_ids, ordered, reset)}
    else:
        mapper = AsyncFormMapper() if is_async else FormMapper()
        fns = {k: getattr(mapper, k) for k in [*STATEMENTS, "kind", "only", "tested"]}
    return lambda name, *args: on_main(is_async, fns[name], *args)


def on_main(is_async, fn, *args, **kw):
    """fn(*args, **kw) inside a scope on "main", awaited in an event loop of its own when async."""
    if not is_async:
        with switch_datasource("main"):
            return fn(*args, **kw)

    async def go():
        try:
            with switch_datasource("main"):
                return await fn(*args, **kw)
        finally:
            await ZorvaneConfig.dispose_async()
    return asyncio.run(go())


def id_caller(entry):
    call = caller(entry)
    return lambda name, *args: [r["id"] for r in call(name, *args)]


@pytest.mark.parametrize("entry", ENTRIES)
def test_in_lists_expand_and_empty_lists_match_nothing_or_everything(forms_ds, entry):
    ids = id_caller(entry)
    assert ids("named", ["a", "c"]) == [1, 3]
    assert ids("named", ("c",)) == [3]
    assert ids("named", "b") == [2]  # a single value binds as it is
    assert ids("named", []) == []
    assert ids("not_ids", [2, 3]) == [1]
    assert ids("not_ids", ()) == [1, 2, 3]


@pytest.mark.parametrize("db_type", [None, "mysql", "postgresql"])
def test_in_list_text_per_database(db_type):
    sql = "SELECT 1 FROM t WHERE a IN ( /* x */ #{a} ) AND b NOT IN #{b} AND c = ANY(#{c}) AND d IN (#{d}, #{e})"
    params = {"a": [1, 2], "b": [], "c": [5], "d": [6], "e": 7}
    clause, values = ParseMapper.to_prepared_statement(sql, params, db_type=db_type)
    empty = "<> ALL('{}')" if db_type == "postgresql" else "NOT IN (SELECT NULL WHERE 1=0)"
    assert clause.text == f"SELECT 1 FROM t WHERE a IN (:a_in_0, :a_in_1) AND b {empty} AND c = ANY(:c) AND d IN (:d, :e)"
    assert values == {"a_in_0": 1, "a_in_1": 2, "c": [5], "d": [6], "e": 7}
    again, _ = ParseMapper.to_prepared_statement(sql, dict(params, a=[3, 4]), db_type=db_type)
    assert again is clause  # made once per text and list sizes


@pytest.mark.parametrize("entry", ENTRIES)
def test_identifiers_replace_splices_and_anything_else_is_refused(forms_ds, entry):
    call = caller(entry)
    rows = call("ordered", "age DESC")
    assert [r["id"] for r in rows] == [3, 2, 1] and rows[0]["lit"] == "${order}"
    assert [r["id"] for r in call("ordered", " users.name asc,\tid ")] == [1, 2, 3]
    for bad in ["age IS NULL OR age", "id; DELETE FROM users", "id --", "'id'", "1", "id DESC DESC", "a,", "union", 5, None]:
        with pytest.raises(ParameterError, match=r"\$\{col\}"):
            call("reset", bad)
    with forms_ds.connect() as c:
        assert c.execute(sa.text("SELECT age FROM users ORDER BY id")).scalars().all() == [1, 2, 3]


def test_explicit_helpers_leave_splices_as_they_were():
    sql = "SELECT id FROM t ORDER BY ${order}"
    assert ParseMapper.to_prepared_statement(sql, {"order": "x; y"})[0].text == sql
    assert ParseMapper.to_replace(sql, {"order": "x; y"}) == "SELECT id FROM t ORDER BY x; y"


class Base(DeclarativeBase):
    pass


class Pet(Base):
    __tablename__ = "pets"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str] = mapped_column(sa.String(50), unique=True)
    age: Mapped[int | None]


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_upserts_insert_or_update_and_batches_skip_conflicts(main_ds, backend, mode):
    with main_ds.begin() as c:
        c.exec_driver_sql("DROP TABLE IF EXISTS pets")
        c.exec_driver_sql(f"CREATE TABLE pets (id {AUTO_KEY[backend]}, name VARCHAR(50) UNIQUE, age INTEGER)")
    mapper = (BaseMapper if mode == "sync" else AsyncBaseMapper)[Pet]
    pets = types.new_class("Pets", (mapper,))()

    def run(op, *args, **kw):
        return on_main(mode == "async", getattr(pets, op), *args, **kw)

    def table():
        with main_ds.connect() as c:
            return [tuple(r) for r in c.exec_driver_sql("SELECT id, name, age FROM pets ORDER BY id")]

    assert run("upsert", {"name": "rex", "age": 1}, conflict="name") == 1
    assert run("upsert", {"name": "ada", "age": 2}, conflict=("name",)) == 2
    assert run("upsert", {"name": "rex", "age": 5}, conflict=["name"]) == 1  # the key of the updated row
    assert run("upsert", Pet(id=2, name="ada", age=7)) == 2
    assert run("upsert", {"id": 1, "name": "bo", "age": 9}, update=("name",)) == 1
    assert table() == [(1, "bo", 5), (2, "ada", 7)]
    run("save_batch", [{"name": "ada", "age": 0}, {"name": "cy", "age": 3}, {"id": 1, "name": "zed"}],
        on_conflict="ignore")
    assert [r[1:] for r in table()] == [("bo", 5), ("ada", 7), ("cy", 3)]
    with pytest.raises(sa.exc.IntegrityError):
        run("save_batch", [{"name": "cy", "age": 4}])
    with pytest.raises(ValueError, match="on_conflict"):
        run("save_batch", [{"name": "dee", "age": 4}], on_conflict="replace")
    assert [r[1:] for r in table()] == [("bo", 5), ("ada", 7), ("cy", 3)]


@pytest.mark.parametrize("entry", ["interface-sync", "interface-async"])
def test_statement_variants_follow_the_datasource_kind(forms_ds, backend, entry):
    call = caller(entry)

    def run(name):
        return call(name)[0]["k"]
    assert run("kind") == {"sqlite": "any", "mysql": "my", "postgresql": "pg"}[backend]
    assert run("tested") == ("lite" if backend == "sqlite" else "server")
    if backend == "postgresql":
        assert run("only") == "pg"
    else:
        with pytest.raises(StatementNotFoundError) as err:
            run("only")
        assert "variants for postgresql only, none for " + backend in "".join(err.value.__notes__)


def test_variant_rules_when_loading(tmp_path):
    path = tmp_path / "v.xml"
    path.write_text('<mapper namespace="v"><select id="a" db_type="mariadb">SELECT 1</select>'
                    '<select id="a" db_type="mysql">SELECT 2</select><select id="a">SELECT 3</select>'
                    '<select id="a">SELECT 4</select></mapper>')
    mapper = ParseMapper(str(path))
    assert [mapper.get_sql("a", {}, db_type=t)[0].text for t in ("mariadb", "sqlite", None)] == ["SELECT 2", "SELECT 4",
                                                                                                  "SELECT 4"]
    assert list(mapper.list_statement()) == ["a"]
    path.write_text('<mapper namespace="v"><select id="a" db_type="oracle">SELECT 1</select></mapper>')
    with pytest.raises(ValueError, match="db_type"):
        ParseMapper(str(path))
