"""Mapper documents: loading, statement lookup, every dynamic element and the errors on bad input."""
import collections
import pathlib
import types
import xml.etree.ElementTree as ET

import pytest
import sqlalchemy as sa

from zorvane.exception import StatementNotFoundError
from zorvane.mapper.vantrel import ParseMapper

DATA = pathlib.Path(__file__).parents[2] / "data" / "mappers"
S = "select * from t"


@pytest.fixture(scope="module")
def elements():
    return ParseMapper(str(DATA / "elements.xml"))


def write(tmp_path, body, root="mapper", attrs=' namespace="t"'):
    path = tmp_path / "m.xml"
    path.write_text(f'<?xml version="1.0"?>\n<{root}{attrs}>{body}</{root}>', encoding="utf-8")
    return str(path)


def test_document_registers_direct_children_in_order(elements, tmp_path):
    ids = elements.list_statement()
    assert isinstance(ids, type({}.keys())) and list(ids)[:3] == ["cols", "cols_age", "include_nested"]
    assert "ignored" not in ids and "nested" not in ids and elements.namespace == "elements"
    assert ids == elements.id_2_element_map.keys() == elements.result_type_map.keys() == elements.sql_type_map.keys()
    assert (elements.sql_type_map["cols"], elements.sql_type_map["remove"]) == ("sql", "delete")
    assert isinstance(elements.id_2_element_map["remove"], ET.Element)
    m = ParseMapper(write(tmp_path, '<select id="a">one</select><sql id="b">x</sql><insert id="a">two</insert>'))
    assert list(m.list_statement()) == ["a", "b"] and m.sql_type_map["a"] == "insert"  # the later one wins
    assert m.insert("a", {})[0].text == "two"
    nested = ParseMapper(write(tmp_path, '<x><mapper namespace="in"/></x><mapper namespace="late"/>', "doc", ""))
    assert nested.namespace == "in" and list(nested.list_statement()) == []
    with pytest.raises(AttributeError):
        ParseMapper(write(tmp_path, '<select id="a">x</select>', attrs="")).namespace


@pytest.mark.parametrize("result_type, expected", [(None, dict), ("dict", dict), ("collections.OrderedDict", collections.OrderedDict)])
def test_result_types(tmp_path, result_type, expected):
    attr = "" if result_type is None else f' resultType="{result_type}"'
    m = ParseMapper(write(tmp_path, f'<select id="s"{attr}>select 1</select><insert id="i" resultType="int">x</insert>'))
    assert m.result_type_map["s"] is expected and m.get_sql("s")[3] is expected
    assert m.result_type_map["i"] is dict  # read on selects only


def test_get_sql_returns_statement_values_kind_and_type(elements):
    stmt, values, kind, rtype = elements.get_sql("foreach_rows", {"names": ["a", "b"], "age": 3})
    assert isinstance(stmt, sa.TextClause)
    assert stmt.text == "insert into t (name, age) values (:names_for_index_0, :age), (:names_for_index_1, :age)"
    assert (values, kind, rtype) == ({"names_for_index_0": "a", "age": 3, "names_for_index_1": "b"}, "insert", dict)
    stmt, values, kind, _ = elements.get_sql("plain")
    assert (stmt.text, values, kind) == ("select 2", {}, "select")


@pytest.mark.parametrize(
    "method, sql_id, message",
    [("get_sql", "cols", "Not a delete"), ("get_sql", "nope", "Missing id"), ("select", "nope", "Missing id"),
     ("select", "remove", "Not a select"), ("insert", "plain", "Not an insert"), ("update", "plain", "Not an update"),
     ("delete", "cols", "Not a delete")],
)
def test_lookup_errors(elements, method, sql_id, message):
    with pytest.raises(Exception, match=f"(?m)^{message}$") as info:
        getattr(elements, method)(sql_id, {})
    assert type(info.value) is (StatementNotFoundError if message == "Missing id" else Exception)


@pytest.mark.parametrize("primary_key, suffix", [("id", " RETURNING id"), ("", ""), (None, "")])
def test_insert_returning(tmp_path, primary_key, suffix):
    m = ParseMapper(write(tmp_path, "<insert id='i'>INSERT INTO t (a)\n VALUES (#{a})</insert>"))
    assert m.insert("i", {"a": 5}, primary_key)[0].text == "INSERT INTO t (a) VALUES (:a)" + suffix
    stmt, values, _, _ = m.get_sql("i", {"a": 5})  # get_sql passes no primary key
    assert (stmt.text, values) == ("INSERT INTO t (a) VALUES (:a)", {"a": 5})


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.get_sql(1, {}),
        lambda m: m.get_sql("plain", [("a", 1)]),
        lambda m: m.insert("foreach_rows", {}, primary_key=1),
        lambda m: m.parse_element(m.id_2_element_map["cols"], types.MappingProxyType({"params": {}})),
        lambda m: ParseMapper._trim_suffix("x", {1}),
        lambda m: ParseMapper(pathlib.Path(DATA / "elements.xml")),
        lambda m: ParseMapper(),
    ],
)
def test_wrong_argument_types(elements, call):
    with pytest.raises(TypeError):
        call(elements)


CASES = [
    ("include_nested", {}, "select id, name, age from t", {}),
    ("where_ifs", {"a": 1, "b": 2, "c": 3}, f"{S} WHERE a = :a AND b = :b OR c = :c order by id", {"a": 1, "b": 2, "c": 3}),
    ("where_ifs", {}, f"{S} order by id", {}),
    ("where_quoted", {}, f"{S} WHERE note = 'a   b' AND x = \"p  q\"", {}),
    ("where_words", {}, f"{S} WHERE ANDx = 1", {}),
    ("trim_where", {"x": 0, "y": 2}, f"{S} WHERE y = :y", {"y": 2}),
    ("trim_empty_overrides", {}, "select 1 WHERE x = 1", {}),
    ("set_commas", {"a": 1, "b": 2, "id": 3}, "update t SET a = :a , b = :b where id = :id", {"a": 1, "b": 2, "id": 3}),
    ("set_commas", {"note": 1, "id": 3}, "update t SET note = 'x   ,' where id = :id", {"id": 3}),
    ("choose", {"k": 2}, "select many", {}),
    ("choose_otherwise_first", {"k": 0}, "select other", {}),
    ("when_missing_test", {"k": 1}, "select one", {}),
    ("foreach_in", {"ids": [7, 8]}, f"{S} where id in (:ids_for_index_0,:ids_for_index_1)", {"ids_for_index_0": 7, "ids_for_index_1": 8}),
    ("foreach_filtered", {"ids": [1, 2, 3, 2], "skip": 2}, "select 1 in (1,1)", {}),  # names resolve in nested scopes
    ("tail_less", {"b": 5}, f"{S} where a = 1 and b = :b", {"b": 5}),
    ("bad_test_untaken", {}, "select 1", {}),
    ("unknown_refid", {}, "select 1", {}),
    ("unsupported", {}, "select 1", {}),
]


@pytest.mark.parametrize("sql_id, params, sql, values", CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_dynamic_elements(elements, sql_id, params, sql, values):
    before = dict(params)
    stmt, bound, _, _ = elements.get_sql(sql_id, params)
    assert (stmt.text, bound) == (sql, values)
    assert params == before and list(params) == list(before)  # never written, no __builtins__ key added


@pytest.mark.parametrize("sql_id", ["where_ifs", "tail_less", "include_nested", "foreach_in"])
def test_rows_render_as_get_sql_renders_each(elements, sql_id):
    rows = [{"a": 1, "b": 2, "c": 3, "ids": [1]}, {"ids": []}, {"a": 5, "b": 0, "ids": [4, 5]}, {"b": 7, "ids": [6]}]
    expected = [(s.text, b) for s, b, *_ in (elements.get_sql(sql_id, r) for r in rows)]
    runs = elements._get_sql_rows(sql_id, rows)
    assert [(s.text, b) for s, values in runs for b in values] == expected
    assert all(a is not b for (a, _), (b, _) in zip(runs, runs[1:]))  # a run per statement change


def test_rows_of_a_static_statement_bind_themselves_when_they_name_exactly_its_placeholders(tmp_path):
    m = ParseMapper(write(tmp_path, '<sql id="c">#{a}, #{b}</sql><insert id="add">INSERT INTO t VALUES (<include refid="c"/>)</insert>'))
    rows = [{"a": 1, "b": 2}, {"b": 3, "a": 4}, {"a": 5}, {"a": 6, "b": 7, "x": 8}]
    [(clause, values)] = m._get_sql_rows("add", rows)
    assert clause.text == "INSERT INTO t VALUES (:a, :b)"
    assert values == [{"a": 1, "b": 2}, {"b": 3, "a": 4}, {"a": 5, "b": None}, {"a": 6, "b": 7}]
    assert [v is r for v, r in zip(values, rows)] == [True, True, False, False]


@pytest.mark.parametrize(
    "sql_id, params, error, text, line",
    [
        ("choose_without_otherwise", {"k": 0}, Exception, "(?m)^Missing otherwise element$", 43),
        ("foreach_in", {"ids": (1, 2)}, Exception, "(?m)^Collection must be a list$", 45),
        ("foreach_in", None, TypeError, "ids", 45),
        ("foreach_in", {}, NameError, "ids", 45),
        ("missing_test", {}, KeyError, "'test'", 57),
        ("when_missing_test", {"k": 0}, KeyError, "'test'", 58),
        ("foreach_missing_separator", {"ids": [1]}, KeyError, "'separator'", 59),
        ("include_missing_refid", {}, KeyError, "'refid'", 63),
        ("unknown_refid", {"go": 1}, KeyError, "no_such_fragment", 60),
        ("include_statement", {}, TypeError, "select", 61),
        ("unsupported", {"go": 1}, TypeError, "bogus", 62),
        ("cyclic", {}, ValueError, "loop_a", 65),
        ("bad_test_untaken", {"deep": 1}, SyntaxError, "never closed", 56),
        ("choose", {}, KeyError, "'k'", 34),
    ],
)
def test_render_errors_name_the_fault_and_leave_the_mapper_usable(elements, sql_id, params, error, text, line):
    for _ in range(2):  # the same error each time: a note naming a failing expression, then one locating it
        with pytest.raises(error, match=text) as info:
            elements.get_sql(sql_id, params)
        assert error is not Exception or type(info.value) is Exception
        *expression, where = info.value.__notes__
        assert len(expression) == (error in (NameError, SyntaxError) or sql_id == "choose")
        assert where == f"{DATA / 'elements.xml'}:{line}: in statement '{sql_id}'"
    assert elements.get_sql("where_ifs", {"b": 2})[0].text == f"{S} WHERE b = :b order by id"


def test_foreach_over_other_mappings_and_list_subclasses(elements):
    proxy = types.MappingProxyType({"ids": [4, 5]})
    assert elements.get_sql("foreach_in", proxy)[1] == {"ids_for_index_0": 4, "ids_for_index_1": 5}

    class OneItem(list):
        def __iter__(self):
            return iter([1])

    assert elements.get_sql("foreach_in", {"ids": OneItem([7, 8])})[0].text == f"{S} where id in (:ids_for_index_0)"


@pytest.mark.parametrize(
    "body, error, text, line",
    [
        ("<select id='a'>x</select><select>y</select>", Exception, "(?m)^Missing id$", 2),
        ("<select id='a' resultType='list'>x</select>", TypeError, "(?m)^please check result_type: can`t set type: list$", 2),
        ("<select id='a' resultType='NoSuchType'>x</select>", ValueError, "NoSuchType", 2),
        ("<select id='a'>x</selec>", ET.ParseError, "mismatched tag", 2),
        (None, FileNotFoundError, "absent.xml", None),
    ],
)
def test_bad_documents_build_no_mapper(tmp_path, body, error, text, line):
    path = str(tmp_path / "absent.xml") if body is None else write(tmp_path, body)
    with pytest.raises(error, match=text) as info:
        ParseMapper(path)
    assert info.value.__notes__[-1] == f"{path}{'' if line is None else f':{line}'}: while loading the mapper file"


def test_a_mapper_stays_as_loaded(elements):
    before = {k: ET.tostring(e) for k, e in elements.id_2_element_map.items()}
    for sql_id, params, *_ in CASES:
        elements.get_sql(sql_id, params)
    with pytest.raises(TypeError), pytest.warns(RuntimeWarning):
        elements.__init__(str(DATA / "user.xml"))
    assert {k: ET.tostring(e) for k, e in elements.id_2_element_map.items()} == before
    assert elements.namespace == "elements"


@pytest.mark.parametrize(
    "xml, params, out",
    [
        ("<r><if test=\"params['a']\">x = #{a}</if>tail</r>", {"a": 1}, "x = #{a}"),
        ("<r><when test='False'>w</when></r>", {}, "w"),
        ("<r><include refid='cols_age'/></r>", {}, "id, name, age"),
    ],
)
def test_parse_element_renders_without_tail_and_leaves_the_context(elements, xml, params, out):
    context = {"params": params}
    assert elements.parse_element(ET.fromstring(xml)[0], context) == out
    assert list(context) == ["params"]


def test_parse_element_errors(elements):
    with pytest.raises(TypeError, match="select"):
        elements.parse_element(elements.id_2_element_map["plain"], {"params": {}})
    with pytest.raises(KeyError, match="params"):
        elements.parse_element(ET.fromstring("<foreach item='i' collection='x' open='' close='' separator=''/>"), {})


@pytest.mark.parametrize(
    "s, entries, prefix_out, suffix_out",
    [("  AND a = 1  OR ", {"AND", "OR"}, "a = 1 OR", "AND a = 1"), ("x 'a   b' y", ["y", ""], "x 'a   b' y", "x 'a   b'")],
)
def test_trim_statics(s, entries, prefix_out, suffix_out):
    assert (ParseMapper._trim_prefix(s, entries), ParseMapper._trim_suffix(s, entries)) == (prefix_out, suffix_out)


def test_explain_renders_as_get_sql_and_lists_decisions_in_document_order(elements):
    params = {"k": 2, "ids": [5, 6]}
    for sql_id in ("choose", "foreach_in", "where_ifs"):
        e = elements.explain(sql_id, params)
        stmt, bound, _, _ = elements.get_sql(sql_id, params)
        assert (e.sql, e.params) == (stmt.text, bound)
    got = [(d.line, d.tag, d.expression, d.outcome) for d in elements.explain("choose", params).decisions]
    assert got == [(33, "choose", None, "when (line 36)"), (34, "when", "params['k'] == 1", False),
                   (36, "when", "params['k'] >= 1", True)]
    assert [(d.tag, d.outcome) for d in elements.explain("foreach_in", params).decisions] == [("foreach", 2)]
    with pytest.raises(Exception, match="(?m)^Not a delete$"):
        elements.explain("cols", {})
