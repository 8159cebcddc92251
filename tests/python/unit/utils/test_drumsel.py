"""Placeholder descriptors: scanning, options, text forms and the published patterns."""
import copy
import gc
import pickle
import re
import weakref
import xml.etree.ElementTree as ET

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zorvane.utils import drumsel
from zorvane.utils.drumsel import PlaceholderParam, SqlParam, SqlParamRegex, get_params, get_sql_param

get_regex_value = vars(drumsel)["__get_regex_value"]
OPTIONS = ("sql_type", "python_type", "type_handler")
OPTION_PATTERNS = {o: rf"(\s*{o}\s*=\s*)(?P<{o}>\w+)?" for o in OPTIONS}
ABSENT = "<absent>"


def fields(d):
    """Everything a descriptor tells, as one comparable tuple."""
    s = d.sql_param
    return (d.full_name, s.is_function, d.param_name, getattr(d, "name", ABSENT), s.function_expression,
            s.function_name, d.sql_type, d.python_type, d.type_handler)


def oracle(text):
    """The scan spelled with the published patterns and the host's re."""
    out = []
    for scanner in drumsel.sql_regex_list:
        for p in dict.fromkeys(scanner.regex.findall(text)):
            inside = p.replace(scanner.prefix + "{", "").replace("}", "")
            if drumsel.param_function_regex.match(inside):
                out.append((p, True, None, ABSENT, inside, inside.split("(")[0], None, None, None))
                continue
            values = []
            for o in OPTIONS:
                m = re.search(OPTION_PATTERNS[o], p)
                values.append(m.group(o).strip() if m and m.group(o) is not None else None)
            name = inside.split(",")[0]
            out.append((p, False, name, name, None, None, *values))
    return out


@pytest.mark.parametrize(
    "text, expected",
    [
        ("select * from t where id = #{id} and name = #{name} or id = #{id}",
         [("#{id}", False, "id", "id", None, None, None, None, None),
          ("#{name}", False, "name", "name", None, None, None, None, None)]),
        ("#{b} ${a} #{c}", [("#{b}", False, "b", "b", None, None, None, None, None),
                            ("#{c}", False, "c", "c", None, None, None, None, None),
                            ("${a}", False, "a", "a", None, None, None, None, None)]),
        ("#{id, sql_type=INTEGER, python_type=int}",
         [("#{id, sql_type=INTEGER, python_type=int}", False, "id", "id", None, None, "INTEGER", "int", None)]),
        ("#{ts, python_type = datetime.datetime}",
         [("#{ts, python_type = datetime.datetime}", False, "ts", "ts", None, None, None, "datetime", None)]),
        ("#{id, sql_type=VARCHAR(20)}",
         [("#{id, sql_type=VARCHAR(20)}", True, None, ABSENT, "id, sql_type=VARCHAR(20)", "id, sql_type=VARCHAR",
           None, None, None)]),
        ("$f{fmt(a, b)}", [("$f{fmt(a, b)}", True, None, ABSENT, "fmt(a, b)", "fmt", None, None, None)]),
        ("#{ id , type_handler=H}", [("#{ id , type_handler=H}", False, " id ", " id ", None, None, None, None, "H")]),
        ("#{id, sql_type=}", [("#{id, sql_type=}", False, "id", "id", None, None, None, None, None)]),
        ("#{now()} #{fn(x)}", [("#{now()}", False, "now()", "now()", None, None, None, None, None),
                               ("#{fn(x)}", True, None, ABSENT, "fn(x)", "fn", None, None, None)]),
        ("#{a{b}} #{} x #{a}\n#{b\n} ${z}}", [("#{a{b}", False, "a{b", "a{b", None, None, None, None, None),
                                              ("#{} x #{a}", False, " x a", " x a", None, None, None, None, None),
                                              ("${z}", False, "z", "z", None, None, None, None, None)]),
        ("#{a} #{ a} #{a}", [("#{a}", False, "a", "a", None, None, None, None, None),
                             ("#{ a}", False, " a", " a", None, None, None, None, None)]),
        ("where x = 1", []),
    ],
)
def test_get_sql_param(text, expected):
    assert [fields(d) for d in get_sql_param(text)] == expected


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from([
    "#{", "${", "$f{", "{", "}", "(", ")", ",", " ", "\n", "\r", "\t", "\u00a0", "\u2028", "\x1c", "=", "sql_type",
    "python_type", "type_handler", "id", "a", "INTEGER", "é", "٣", "—", "_", "$", "#", "f", "x(y)", "\ud800",
]), max_size=40).map("".join))
def test_scanner_agrees_with_published_patterns(text):
    assert [fields(d) for d in get_sql_param(text)] == oracle(text)
    for scanner in drumsel.sql_regex_list:
        got = scanner.resolve_param(text)
        inside = text.replace(scanner.prefix + "{", "").replace("}", "")
        if drumsel.param_function_regex.match(inside):
            want = (True, None, inside, inside.split("(")[0])
        else:
            want = (False, inside.split(",")[0], None, None)
        assert (got.is_function, got.param_name, got.function_expression, got.function_name) == want


def test_get_params_joins_non_blank_text_and_tail():
    root = ET.fromstring("<where>  \n  <if test='x'>#{inner}</if>and id = #{id} and n = #{n}</where>")
    child = root[0]
    assert [d.full_name for d in get_params(root)] == []  # only white space; nested text is not scanned
    assert [d.full_name for d in get_params(child)] == ["#{inner}", "#{id}", "#{n}"]
    child.text, child.tail = "a = #{x", "y} and b = ${c}"  # joined with nothing in between
    assert [d.full_name for d in get_params(child)] == ["#{xy}", "${c}"]
    child.text, child.tail = "#{k}", " \t\n"
    assert [d.full_name for d in get_params(child)] == ["#{k}"]
    with pytest.raises(AttributeError):
        get_params(object())
    child.text = 5
    with pytest.raises(TypeError):
        get_params(child)


def test_text_forms():
    (d,) = get_sql_param("#{id}")
    assert str(d) == ("sql_param:is_function:False ,param_name:id,function_expression:None,function_name:None "
                      ",full_name:#{id},sql_type:None,python_type:None,type_handler:None,param_name:id")
    (f,) = get_sql_param("$f{f(x)}")
    assert str(f.sql_param) == "is_function:True ,param_name:None,function_expression:f(x),function_name:f"
    assert str(SqlParam("n", is_function="yes")) == "is_function:True ,param_name:n,function_expression:None,function_name:None"
    d.sql_type = 3
    d.sql_param = "raw"
    assert str(d).startswith("sql_param:raw ,full_name:#{id},sql_type:3,")


def test_constructors_store_fields_in_order():
    s = SqlParam("id", None, 0, None)
    assert vars(s) == {"is_function": False, "param_name": "id", "function_expression": None, "function_name": None}
    assert list(vars(s)) == ["is_function", "param_name", "function_expression", "function_name"]
    p = PlaceholderParam(s, "#{id}", "INTEGER", type_handler="H")
    assert list(vars(p).items()) == [("sql_param", s), ("full_name", "#{id}"), ("sql_type", "INTEGER"),
                                     ("python_type", None), ("type_handler", "H"), ("param_name", "id")]
    assert not hasattr(p, "name")
    r = SqlParamRegex(r"@\{.+?\}", "@")
    assert r.regex.findall("@{a} @{b}") == ["@{a}", "@{b}"] and r.prefix == "@"
    got = r.resolve_param("@{x, y}")
    assert type(got) is SqlParam and got.param_name == "x"


class Boom:
    def __bool__(self):
        raise RuntimeError("bool called")


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, arg, got",
    [
        (lambda: SqlParam(1, is_function=Boom()), "param_name", "int"),
        (lambda: SqlParam(function_expression=b"f(x)"), "function_expression", "bytes"),
        (lambda: SqlParam(function_name=Text("f")), "function_name", "Text"),
        (lambda: PlaceholderParam(Boom(), full_name=1), "full_name", "int"),
        (lambda: PlaceholderParam(SqlParam(), python_type=[]), "python_type", "list"),
        (lambda: SqlParamRegex("(", 1), "prefix", "int"),
        (lambda: SqlParamRegex(None, "#"), "regex", "NoneType"),
        (lambda: drumsel.sql_regex_list[0].resolve_param(None), "param", "NoneType"),
        (lambda: get_sql_param(b"#{a}"), "param_text", "bytes"),
        (lambda: get_regex_value("(", 1, "g"), "param", "int"),
        (lambda: get_regex_value("x", "x", None), "group", "NoneType"),
    ],
)
def test_type_checks_come_first(call, arg, got):
    with pytest.raises(TypeError, match=re.escape(f"Argument '{arg}' has incorrect type (expected str, got {got})")):
        call()


def test_host_errors_pass_through():
    with pytest.raises(re.error):
        SqlParamRegex("(", "#")
    with pytest.raises(RuntimeError, match="bool called"):
        SqlParam(is_function=Boom())
    with pytest.raises(AttributeError):
        PlaceholderParam(None)
    r = SqlParamRegex("x", "#")
    r.prefix = 7
    with pytest.raises(TypeError):
        r.resolve_param("#{a}")
    with pytest.raises(IndexError):
        get_regex_value("(?P<a>x)", "x", "b")


@pytest.mark.parametrize(
    "param, value",
    [("#{id, sql_type =  VARCHAR , x}", "VARCHAR"), ("#{id}", None), ("#{id, sql_type=}", None),
     ("#{a,sql_type=X,sql_type=Y}", "X")],
)
def test_get_regex_value(param, value):
    assert get_regex_value(OPTION_PATTERNS["sql_type"], param, "sql_type") == value
    assert get_regex_value(r"(?P<v>\s*b\s*)", "a  b  c", "v") == "b"


def test_descriptors_behave_like_plain_objects():
    (d,) = get_sql_param("#{id, sql_type=INTEGER}")
    d.extra = [1]
    del d.name
    assert not hasattr(d, "name")
    for clone in (copy.deepcopy(d), pickle.loads(pickle.dumps(d))):
        assert type(clone) is PlaceholderParam and fields(clone) == fields(d) and clone.extra == [1]
        assert clone.sql_param is not d.sql_param and str(clone) == str(d)
    r = pickle.loads(pickle.dumps(drumsel.sql_regex_list[2]))
    assert r.regex.pattern == r"\$f\{.+?\}" and r.resolve_param("$f{g(1)}").function_name == "g"
    cycle = SqlParam()
    cycle.me = cycle
    ref = weakref.ref(cycle)
    del cycle
    gc.collect()
    assert ref() is None


def test_published_constants():
    assert [(s.regex.pattern, s.prefix) for s in drumsel.sql_regex_list] == [
        (r"\#\{.+?\}", "#"), (r"\$\{.+?\}", "$"), (r"\$f\{.+?\}", "$f")]
    assert all(type(s) is SqlParamRegex for s in drumsel.sql_regex_list)
    assert drumsel.param_function_regex.pattern == r".+?\(.+?\)"
    assert list(drumsel.type_mapping) == ["NUM", "BOOLEAN", "DATE", "STRING", "BINARY", "OTHER"]
    assert drumsel.type_mapping["NUM"] == ["TINYINT", "SMALLINT", "INTEGER", "BIGINT", "BIT", "DECIMAL", "DOUBLE",
                                           "FLOAT", "NUMERIC"]
    assert drumsel.type_mapping["STRING"] == ["CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "LONGNVARCHAR", "LONGVARCHAR"]
    assert sum(map(len, drumsel.type_mapping.values())) == 38 and drumsel.type_mapping["OTHER"][-1] == "UNDEFINED"
