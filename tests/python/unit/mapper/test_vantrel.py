"""Mapper documents: loading, statement lookup, every dynamic element and the errors on bad input."""
import collections
import pathlib
import types
import xml.etree.ElementTree as ET

import pytest
import sqlalchemy as sa

from zorvane.mapper.vantrel import ParseMapper

DATA = pathlib.Path(__file__).parents[2] / "data" / "mappers"


@pytest.fixture(scope="module")
def elements():
    return ParseMapper(str(DATA / "elements.xml"))


def write(tmp_path, body, root="mapper", attrs=' namespace="t"'):
    path = tmp_path / "m.xml"
    path.write_text(f'<?xml version="1.0"?>\n<{root}{attrs}>{body}</{root}>', encoding="utf-8")
    return str(path)


def test_document_registers_direct_children_in_order(elements):
    ids = elements.list_statement()
    assert isinstance(ids, type({}.keys()))
    assert list(ids)[:4] == ["cols", "cols_age", "include_nested", "where_ifs"]
    assert "ignored" not in ids and "nested" not in ids
    assert elements.namespace == "elements"
    assert ids == elements.id_2_element_map.keys() == elements.result_type_map.keys() == elements.sql_type_map.keys()
    assert elements.sql_type_map["cols"] == "sql" and elements.sql_type_map["remove"] == "delete"
    assert set(elements.result_type_map.values()) == {dict}
    assert all(isinstance(e, ET.Element) for e in elements.id_2_element_map.values())


def test_later_duplicate_replaces_the_earlier_in_every_map(tmp_path):
    m = ParseMapper(write(tmp_path, '<select id="a">one</select><sql id="b">x</sql><insert id="a">two</insert>'))
    assert list(m.list_statement()) == ["a", "b"]
    assert m.sql_type_map["a"] == "insert" and m.id_2_element_map["a"].text == "two"
    assert m.insert("a", {})[0].text == "two"
    with pytest.raises(Exception, match="^Not a select$"):
        m.select("a", {})


def test_namespace_comes_from_the_first_mapper_element(tmp_path):
    nested = ParseMapper(write(tmp_path, '<x><mapper namespace="inner"/></x><mapper namespace="late"/>', root="doc", attrs=""))
    assert nested.namespace == "inner" and list(nested.list_statement()) == []
    bare = ParseMapper(write(tmp_path, '<select id="a">x</select>', attrs=""))
    with pytest.raises(AttributeError):
        bare.namespace
    assert list(bare.list_statement()) == ["a"]


@pytest.mark.parametrize(
    "result_type, expected",
    [
        (None, dict),
        ("dict", dict),
        ("int", int),
        ("collections.OrderedDict", collections.OrderedDict),
        ("BaseModel", __import__("pydantic").BaseModel),
    ],
)
def test_result_types(tmp_path, result_type, expected):
    attr = "" if result_type is None else f' resultType="{result_type}"'
    m = ParseMapper(write(tmp_path, f'<select id="s"{attr}>select 1</select><insert id="i" resultType="int">x</insert>'))
    assert m.result_type_map["s"] is expected
    assert m.result_type_map["i"] is dict  # read on selects only
    assert m.get_sql("s")[3] is expected


def test_get_sql_returns_statement_values_kind_and_type(elements):
    stmt, values, kind, rtype = elements.get_sql("foreach_rows", {"names": ["a", "b"], "age": 3})
    assert isinstance(stmt, sa.TextClause)
    assert stmt.text == "insert into t (name, age) values (:names_for_index_0, :age), (:names_for_index_1, :age)"
    assert values == {"names_for_index_0": "a", "age": 3, "names_for_index_1": "b"}
    assert (kind, rtype) == ("insert", dict)
    stmt, values, kind, _ = elements.get_sql("plain")
    assert (stmt.text, values, kind) == ("select 2", {}, "select")


@pytest.mark.parametrize(
    "method, sql_id, message",
    [
        ("get_sql", "cols", "Not a delete"),
        ("get_sql", "nope", "Missing id"),
        ("select", "nope", "Missing id"),
        ("select", "remove", "Not a select"),
        ("insert", "plain", "Not an insert"),
        ("update", "plain", "Not an update"),
        ("delete", "plain", "Not a delete"),
        ("delete", "cols", "Not a delete"),
    ],
)
def test_lookup_errors(elements, method, sql_id, message):
    with pytest.raises(Exception, match=f"^{message}$") as info:
        getattr(elements, method)(sql_id, {})
    assert type(info.value) is Exception


@pytest.mark.parametrize("primary_key, suffix", [("id", " RETURNING id"), ("", ""), (None, "")])
def test_insert_returning(tmp_path, primary_key, suffix):
    m = ParseMapper(write(tmp_path, "<insert id='i'>INSERT INTO t (a)\n VALUES (#{a})</insert>"))
    stmt, values = m.insert("i", {"a": 5}, primary_key)
    assert stmt.text == "INSERT INTO t (a) VALUES (:a)" + suffix
    assert values == {"a": 5}
    assert m.get_sql("i", {"a": 5})[0].text == "INSERT INTO t (a) VALUES (:a)"


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.get_sql(1, {}),
        lambda m: m.get_sql("plain", [("a", 1)]),
        lambda m: m.select(b"plain", None),
        lambda m: m.insert("foreach_rows", {}, primary_key=1),
        lambda m: m.parse_element(m.id_2_element_map["cols"], types.MappingProxyType({"params": {}})),
        lambda m: ParseMapper._trim_prefix(b"x", {","}),
        lambda m: ParseMapper._trim_suffix("x", {1}),
        lambda m: ParseMapper(pathlib.Path(DATA / "elements.xml")),
        lambda m: ParseMapper(),
    ],
)
def test_wrong_argument_types(elements, call):
    with pytest.raises(TypeError):
        call(elements)


S = "select * from t"
CASES = [
    ("include_nested", {}, "select id, name, age from t", {}),
    ("where_ifs", {"a": 1, "b": 2, "c": 3}, f"{S} WHERE a = :a AND b = :b OR c = :c order by id", {"a": 1, "b": 2, "c": 3}),
    ("where_ifs", {"b": 2}, f"{S} WHERE b = :b order by id", {"b": 2}),
    ("where_ifs", {"c": 5}, f"{S} WHERE c = :c order by id", {"c": 5}),
    ("where_ifs", {"a": 0, "c": 5}, f"{S} WHERE a = :a OR c = :c order by id", {"a": 0, "c": 5}),
    ("where_ifs", {}, f"{S} order by id", {}),
    ("where_quoted", {}, f"{S} WHERE note = 'a   b' AND x = \"p  q\"", {}),
    ("where_quoted", {"any": False}, S, {}),
    ("where_words", {}, f"{S} WHERE ANDx = 1", {}),
    ("trim_where", {"x": 1, "y": 2}, f"{S} WHERE x = :x OR y = :y", {"x": 1, "y": 2}),
    ("trim_where", {"x": 0, "y": 2}, f"{S} WHERE y = :y", {"y": 2}),
    ("trim_where", {"x": 0}, f"{S} WHERE", {}),
    ("trim_values", {"a": 1, "b": 2}, "insert into t ( a,b )", {}),
    ("trim_values", {}, "insert into t ( )", {}),
    ("trim_empty_overrides", {}, "select 1 WHERE x = 1", {}),
    ("set_commas", {"a": 1, "b": 2, "id": 3}, "update t SET a = :a , b = :b where id = :id", {"a": 1, "b": 2, "id": 3}),
    ("set_commas", {"b": 2, "id": 3}, "update t SET b = :b where id = :id", {"b": 2, "id": 3}),
    ("set_commas", {"note": 1, "id": 3}, "update t SET note = 'x   ,' where id = :id", {"id": 3}),
    ("choose", {"k": 1}, "select one", {}),
    ("choose", {"k": 2}, "select many", {}),
    ("choose", {"k": 0}, "select none", {}),
    ("choose_otherwise_first", {"k": 1}, "select one", {}),
    ("choose_otherwise_first", {"k": 0}, "select other", {}),
    ("choose_without_otherwise", {"k": 1}, "select one", {}),
    ("when_missing_test", {"k": 1}, "select one", {}),
    ("foreach_in", {"ids": [7, 8, 9]}, f"{S} where id in (:ids_for_index_0,:ids_for_index_1,:ids_for_index_2)",
     {"ids_for_index_0": 7, "ids_for_index_1": 8, "ids_for_index_2": 9}),
    ("foreach_in", {"ids": []}, f"{S} where id in ()", {}),
    ("foreach_filtered", {"ids": [1, 2, 3, 2], "skip": 2}, "select 1 in (1,1)", {}),
    ("tail_less", {"b": 5}, f"{S} where a = 1 and b = :b", {"b": 5}),
    ("tail_less", {}, f"{S} where a = 1", {}),
    ("bad_test_untaken", {}, "select 1", {}),
    ("unknown_refid", {}, "select 1", {}),
    ("unsupported", {}, "select 1", {}),
]


@pytest.mark.parametrize("sql_id, params, sql, values", CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_dynamic_elements(elements, sql_id, params, sql, values):
    before = dict(params)
    stmt, bound, _, _ = elements.get_sql(sql_id, params)
    assert (stmt.text, bound) == (sql, values)
    assert params == before  # rendering never writes into the caller's parameters


@pytest.mark.parametrize(
    "sql_id, params, error, text",
    [
        ("choose_without_otherwise", {"k": 0}, Exception, "^Missing otherwise element$"),
        ("foreach_in", {"ids": (1, 2)}, Exception, "^Collection must be a list$"),
        ("foreach_in", {"ids": {1}}, Exception, "^Collection must be a list$"),
        ("foreach_in", None, TypeError, "ids"),
        ("foreach_in", {}, NameError, "ids"),
        ("missing_test", {}, KeyError, "'test'"),
        ("when_missing_test", {"k": 0}, KeyError, "'test'"),
        ("foreach_missing_separator", {"ids": [1]}, KeyError, "'separator'"),
        ("include_missing_refid", {}, KeyError, "'refid'"),
        ("unknown_refid", {"go": 1}, KeyError, "no_such_fragment"),
        ("include_statement", {}, TypeError, "select"),
        ("unsupported", {"go": 1}, TypeError, "bogus"),
        ("cyclic", {}, ValueError, "loop_a"),
        ("bad_test_untaken", {"deep": 1}, SyntaxError, "never closed"),
        ("where_ifs", {"b": []}, None, None),  # control: falsy list is fine
        ("choose", {}, KeyError, "'k'"),
    ],
)
def test_render_errors_name_the_fault_and_leave_the_mapper_usable(elements, sql_id, params, error, text):
    if error is None:
        assert elements.get_sql(sql_id, params)[0].text == f"{S} order by id"
        return
    with pytest.raises(error, match=text) as info:
        elements.get_sql(sql_id, params)
    if error is Exception:
        assert type(info.value) is Exception
    # Nothing of the failed rendering sticks: the same mapper renders normally afterwards.
    assert elements.get_sql("where_ifs", {"b": 2})[0].text == f"{S} WHERE b = :b order by id"
    assert elements.get_sql("plain")[0].text == "select 2"


def test_failing_expressions_carry_a_note_with_the_expression(elements):
    with pytest.raises(KeyError) as info:
        elements.get_sql("choose", {})
    assert "params['k'] == 1" in "\n".join(info.value.__notes__)
    for _ in range(2):  # a bad expression fails each time it is reached, with a fresh error
        with pytest.raises(SyntaxError) as info:
            elements.get_sql("bad_test_untaken", {"deep": 1})
        assert len(info.value.__notes__) == 1


def test_foreach_reads_parameters_without_writing_them(elements):
    params = {"ids": [1, 2], "skip": 1}
    elements.get_sql("foreach_filtered", params)
    assert list(params) == ["ids", "skip"]
    proxy = types.MappingProxyType({"ids": [4, 5]})  # any mapping, not only dict
    assert elements.get_sql("foreach_in", proxy)[1] == {"ids_for_index_0": 4, "ids_for_index_1": 5}

    class Tracked(list):
        def __iter__(self):
            return iter([1])

    assert elements.get_sql("foreach_in", {"ids": Tracked([7, 8])})[0].text == f"{S} where id in (:ids_for_index_0)"


@pytest.mark.parametrize(
    "body, error, text",
    [
        ("<select id='a'>x</select><select>y</select>", Exception, "^Missing id$"),
        ("<select id='a' resultType='list'>x</select>", TypeError, "^please check result_type: can`t set type: list$"),
        ("<select id='a' resultType='tuple'>x</select>", TypeError, "can`t set type: tuple$"),
        ("<select id='a' resultType='NoSuchType'>x</select>", ValueError, "NoSuchType"),
        ("<select id='a' resultType='no_such_module.X'>x</select>", ValueError, "no_such_module"),
        ("<select id='a'>x</selec>", ET.ParseError, "mismatched tag"),
    ],
)
def test_bad_documents_build_no_mapper(tmp_path, body, error, text):
    with pytest.raises(error, match=text):
        ParseMapper(write(tmp_path, body))


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError, match="absent.xml"):
        ParseMapper(str(tmp_path / "absent.xml"))


def test_a_mapper_cannot_be_reinitialised(elements):
    with pytest.raises(TypeError), pytest.warns(RuntimeWarning):
        elements.__init__(str(DATA / "elements.xml"))
    assert elements.namespace == "elements" and elements.get_sql("plain")[0].text == "select 2"


def test_rendering_leaves_the_elements_untouched(elements):
    before = {k: ET.tostring(e) for k, e in elements.id_2_element_map.items()}
    for sql_id, params, *_ in CASES:
        elements.get_sql(sql_id, params)
    assert {k: ET.tostring(e) for k, e in elements.id_2_element_map.items()} == before


@pytest.mark.parametrize(
    "xml, params, out",
    [
        ("<if test=\"params['a']\">x = #{a}</if>", {"a": 1}, "x = #{a}"),
        ("<if test=\"params['a']\">x</if>", {"a": 0}, ""),
        ("<where>\n  and <if test='True'>a = 1</if></where>", {}, "WHERE a = 1"),
        ("<where> OR </where>", {}, ""),
        ("<set>,a = 1,</set>", {}, "SET a = 1,"),
        ("<trim prefix='(' suffix=')'></trim>", {}, "(  )"),
        ("<trim prefix='WHERE' prefixOverrides='AND|OR'> AND x = 1</trim>", {}, "WHERE x = 1 "),
        ("<trim suffixOverrides=','>a = 1, b = 2, , ,</trim>", {}, " a = 1, b = 2 "),
        ("<sql id='z'>a <if test='True'>b</if> c</sql>", {}, "a b c"),
        ("<when test='False'>w</when>", {}, "w"),
        ("<otherwise>o</otherwise>", {}, "o"),
        ("<include refid='cols_age'/>", {}, "id, name, age"),
        ("<foreach item='i' collection='ids' open='[' close=']' separator=';'>#{i}|#{i.x}|${i}</foreach>", {"ids": [5, 6]},
         "[#{ids_for_index_0}|#{i.x}|${i};#{ids_for_index_1}|#{i.x}|${i}]"),
        ("<choose><when test='params[\"k\"]'>a</when><otherwise>b</otherwise></choose>tail", {"k": 1}, "a"),
    ],
)
def test_parse_element(elements, xml, params, out):
    element = ET.fromstring(xml) if not xml.endswith("tail") else ET.fromstring(f"<r>{xml}</r>")[0]
    context = {"params": params}
    assert elements.parse_element(element, context) == out
    assert list(context) == ["params"]


def test_parse_element_errors(elements):
    with pytest.raises(TypeError, match="select"):
        elements.parse_element(elements.id_2_element_map["plain"], {"params": {}})
    with pytest.raises(KeyError, match="params"):
        elements.parse_element(ET.fromstring("<foreach item='i' collection='x' open='' close='' separator=''/>"), {})
    with pytest.raises(TypeError, match="Argument 'param'"):
        elements.parse_element(ET.fromstring("<where/>"), collections.OrderedDict(params={}))


@pytest.mark.parametrize(
    "s, entries, prefix_out, suffix_out",
    [
        ("  AND a = 1  OR ", {"AND", "OR"}, "a = 1 OR", "AND a = 1"),
        ("ANDROID_ID = 1", {"AND"}, "ROID_ID = 1", "ANDROID_ID = 1"),
        ("and x", {"AND"}, "and x", "and x"),
        (", a = 1,\n , b = 2 , ,", {","}, "a = 1, , b = 2 , ,", ", a = 1, , b = 2"),
        ("x 'a   b' y", {"y", ""}, "x 'a   b' y", "x 'a   b'"),
        ("ORDER BY x", ["OR", "ORDER"], "BY x", "ORDER BY x"),
        ("", set(), "", ""),
    ],
)
def test_trim_statics(s, entries, prefix_out, suffix_out):
    assert ParseMapper._trim_prefix(s, entries) == prefix_out
    assert ParseMapper._trim_suffix(s, entries) == suffix_out
