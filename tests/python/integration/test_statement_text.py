"""Statement text means what it says on every backend and entry point: comments, literals, escapes, placeholder typos."""
import asyncio

import pytest
import sqlalchemy as sa

from zorvane.exception import ParameterError, ZorvaneError
from zorvane.mapper.vantrel import ParseMapper
from zorvane.db.ostrane import Page
from zorvane.zorvane import (
    AsyncBaseMapper,
    BaseMapper,
    ZorvaneConfig,
    delete,
    select_one,
    select_page,
    switch_datasource,
    update,
)

pytestmark = pytest.mark.greenlet


def statements(backend):
    """id -> SQL; each would lose or hide rows if a comment swallowed the line after it."""
    pick = ("SELECT id, -- the key\n name, 'c  d' AS v, 'p #{x}' AS w"
            + (", # it's\n 'it\\'s  two' AS q" if backend == "mysql" else "")
            + " FROM users /* it's */ WHERE id = #{id}")
    return {
        "remove": "DELETE FROM users   -- remove one row\n           WHERE id = #{id}",
        "retire": "UPDATE users SET age = 0 /* don't */ -- it's one row\n WHERE id = #{id}",
        "pick": pick,
        "set_note": "UPDATE users SET note = #{nte} WHERE id = #{id}",  # the typo of a parameter name
        "page": "SELECT name FROM users ORDER BY id -- the paging clause comes after this",
    }


class TextMapper(BaseMapper):  # statements only: no model needed
    def remove(self, id: int) -> int: ...
    def retire(self, id: int) -> int: ...
    def pick(self, id: int) -> dict | None: ...
    def set_note(self, id: int, note: str) -> int: ...
    def page(self, page: Page) -> list[dict]: ...


class AsyncTextMapper(AsyncBaseMapper):
    async def remove(self, id: int) -> int: ...
    async def retire(self, id: int) -> int: ...
    async def pick(self, id: int) -> dict | None: ...
    async def set_note(self, id: int, note: str) -> int: ...
    async def page(self, page: Page) -> list[dict]: ...


AsyncTextMapper.__name__ = "TextMapper"  # the namespace is the class name


def decorated(backend, is_async):
    """The statements as decorated functions, sync or async."""
    sql = statements(backend)
    if is_async:
        async def remove(id: int) -> int: ...
        async def retire(id: int) -> int: ...
        async def pick(id: int) -> dict | None: ...
        async def set_note(id: int, note: str) -> int: ...
        async def page(page: Page) -> list[dict]: ...
    else:
        def remove(id: int) -> int: ...
        def retire(id: int) -> int: ...
        def pick(id: int) -> dict | None: ...
        def set_note(id: int, note: str) -> int: ...
        def page(page: Page) -> list[dict]: ...
    return {"remove": delete(sql["remove"])(remove), "retire": update(sql["retire"])(retire),
            "pick": select_one(sql["pick"])(pick), "set_note": update(sql["set_note"])(set_note),
            "page": select_page(sql["page"])(page)}


def xml_escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;")


@pytest.fixture
def text_ds(main_ds, backend, tmp_path):
    """Datasource "main" with three users and the statements as the mapper file of TextMapper."""
    tags = {"pick": "select", "page": "select", "remove": "delete"}
    body = "".join(f'<{tags.get(k, "update")} id="{k}">{xml_escape(v)}</{tags.get(k, "update")}>'
                   for k, v in statements(backend).items())
    (tmp_path / "mappers").mkdir()
    (tmp_path / "mappers" / "TextMapper.xml").write_text(f'<mapper namespace="TextMapper">{body}</mapper>')
    ZorvaneConfig.scan_mapper_xml(str(tmp_path / "mappers"))
    with main_ds.begin() as c:
        c.execute(sa.text("INSERT INTO users (name, age) VALUES ('a', 1), ('b', 2), ('c', 3)"))
    return main_ds


ENTRIES = ["decorator-sync", "decorator-async", "interface-sync", "interface-async"]


def caller(entry, backend):
    """call(name, *args) through one entry point, inside a scope on "main"."""
    kind, mode = entry.split("-")
    is_async = mode == "async"
    if kind == "decorator":
        fns = decorated(backend, is_async)
    else:
        mapper = AsyncTextMapper() if is_async else TextMapper()
        fns = {k: getattr(mapper, k) for k in statements(backend)}

    def call(name, *args):
        if not is_async:
            with switch_datasource("main"):
                return fns[name](*args)

        async def go():
            try:
                with switch_datasource("main"):
                    return await fns[name](*args)
            finally:
                await ZorvaneConfig.dispose_async()
        return asyncio.run(go())
    return call


def rows(engine):
    with engine.connect() as c:
        return [tuple(r) for r in c.execute(sa.text("SELECT id, age, note FROM users ORDER BY id"))]


@pytest.mark.parametrize("entry", ENTRIES)
def test_comments_and_literals_keep_their_meaning(text_ds, backend, entry):
    call = caller(entry, backend)
    picked = call("pick", 2)
    expected = {"id": 2, "name": "b", "v": "c  d", "w": "p #{x}"}
    if backend == "mysql":
        expected["q"] = "it's  two"
    assert dict(picked) == expected
    assert call("page", Page(1, 2)) == {"pageNum": 1, "pageSize": 2, "total": 3, "list": [{"name": "a"}, {"name": "b"}]}
    assert call("retire", 2) == 1
    assert call("remove", 1) == 1
    assert rows(text_ds) == [(2, 0, None), (3, 3, None)]


@pytest.mark.parametrize("entry", ENTRIES)
def test_a_placeholder_that_names_no_parameter_is_refused(text_ds, backend, entry):
    with pytest.raises(ParameterError, match=r"#\{nte\}.*id, note") as err:
        caller(entry, backend)("set_note", 2, "hello")
    assert isinstance(err.value, ZorvaneError)
    assert rows(text_ds) == [(1, 1, None), (2, 2, None), (3, 3, None)]


def test_direct_conversion_keeps_binding_none_and_reads_each_dialect():
    sql = "UPDATE t SET a = #{a} # it's\n WHERE b = 'x  #{c}'"
    _, values = ParseMapper.to_prepared_statement(sql, {})
    assert values == {"a": None, "c": None}  # standard rules: "#" is an operator, "it's" opens a literal
    clause, values = ParseMapper.to_prepared_statement(sql, {}, db_type="mysql")
    assert clause.text == "UPDATE t SET a = :a WHERE b = 'x  #{c}'" and values == {"a": None}
    with pytest.raises(ParameterError, match="#{a}"):
        ParseMapper.to_prepared_statement(sql, {"b": 1}, db_type="mysql", strict=True)
    with pytest.raises(ValueError, match="db_type"):
        ParseMapper.to_prepared_statement(sql, {}, db_type="oracle")
