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
ABSENT = "<no name>"


def fields(d):
    s = d.sql_param
    return (d.full_name, s.is_function, d.param_name, getattr(d, "name", ABSENT), s.function_expression,
            s.function_name, d.sql_type, d.python_type, d.type_handler)


def N(full, name, *options):  # a named placeholder
    return (full, False, name, name, None, None, *(options or (None,) * 3))


def F(full, expression, function):  # a function placeholder
    return (full, True, None, ABSENT, expression, function, None, None, None)


def oracle(text):
    """The scan spelled with the published patterns and the host's re."""
    out = []
    for scanner in drumsel.sql_regex_list:
        for p in dict.fromkeys(scanner.regex.findall(text)):
            inside = p.replace(scanner.prefix + "{", "").replace("}", "")
            if drumsel.param_function_regex.match(inside):
                out.append(F(p, inside, inside.split("(")[0]))
                continue
            found = [re.search(rf"(\s*{o}\s*=\s*)(?P<{o}>\w+)?", p) for o in OPTIONS]
            out.append(N(p, inside.split(",")[0], *[m and m.group(o) and m.group(o).strip() for m, o in zip(found, OPTIONS)]))
    return out


@pytest.mark.parametrize("text, expected", [
    ("where id = #{id} and name = #{name} or id = #{id}", [N("#{id}", "id"), N("#{name}", "name")]),
    ("#{b} ${a} #{c}", [N("#{b}", "b"), N("#{c}", "c"), N("${a}", "a")]),
    ("#{id, sql_type=INTEGER, python_type=int}", [N("#{id, sql_type=INTEGER, python_type=int}", "id", "INTEGER", "int", None)]),
    ("#{ts, python_type = datetime.datetime}", [N("#{ts, python_type = datetime.datetime}", "ts", None, "datetime", None)]),
    ("#{id, sql_type=VARCHAR(20)}", [F("#{id, sql_type=VARCHAR(20)}", "id, sql_type=VARCHAR(20)", "id, sql_type=VARCHAR")]),
    ("$f{fmt(a, b)} #{now()} #{fn(x)}", [N("#{now()}", "now()"), F("#{fn(x)}", "fn(x)", "fn"), F("$f{fmt(a, b)}", "fmt(a, b)", "fmt")]),
    ("#{ id , type_handler=H} #{id, sql_type=}", [N("#{ id , type_handler=H}", " id ", None, None, "H"), N("#{id, sql_type=}", "id")]),
    ("#{a{b}} #{}} #{c\n} ${d}} #{ a}", [N("#{a{b}", "a{b"), N("#{}}", ""), N("#{ a}", " a"), N("${d}", "d")]),
    ("where x = 1", []),
])
def test_get_sql_param(text, expected):
    assert [fields(d) for d in get_sql_param(text)] == expected


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from([
    "#{", "${", "$f{", "{", "}", "(", ")", ",", " ", "\n", "\r", "\t", "\u00a0", "\u2028", "\x1c", "=", "sql_type",
    "python_type", "type_handler", "id", "a", "INTEGER", "é", "٣", "—", "_", "$", "#", "f", "x(y)", "\ud800",
]), max_size=40).map("".join))
def test_scanner_agrees_with_published_patterns(text):
    assert [fields(d) for d in get_sql_param(text)] == oracle(text)
    for scanner in drumsel.sql_regex_list:  # resolve_param on any text, lines included
        inside = text.replace(scanner.prefix + "{", "").replace("}", "")
        want = (True, None, inside, inside.split("(")[0]) if drumsel.param_function_regex.match(inside) \
            else (False, inside.split(",")[0], None, None)
        got = scanner.resolve_param(text)
        assert (got.is_function, got.param_name, got.function_expression, got.function_name) == want


def test_get_params_joins_non_blank_text_and_tail():
    root = ET.fromstring("<where>  \n  <if test='x'>#{inner}</if>and id = #{id}</where>")
    assert get_params(root) == []  # blank text; nested elements are not scanned
    assert [d.full_name for d in get_params(root[0])] == ["#{inner}", "#{id}"]
    root[0].text, root[0].tail = "a = #{x", "y} and ${c}"
    assert [d.full_name for d in get_params(root[0])] == ["#{xy}", "${c}"]
    root[0].text = 5
    with pytest.raises(TypeError):
        get_params(root[0])
    with pytest.raises(AttributeError):
        get_params(object())


def test_text_forms():
    (d,) = get_sql_param("#{id}")
    assert str(d) == ("sql_param:is_function:False ,param_name:id,function_expression:None,function_name:None "
                      ",full_name:#{id},sql_type:None,python_type:None,type_handler:None,param_name:id")
    assert str(SqlParam(None, "f(x)", "yes", "f")) == "is_function:True ,param_name:None,function_expression:f(x),function_name:f"
    d.sql_param, d.sql_type = "raw", 3
    assert str(d).startswith("sql_param:raw ,full_name:#{id},sql_type:3,")


class Boom:
    def __bool__(self):
        raise RuntimeError("bool called")


@pytest.mark.parametrize("call, arg, got", [
    (lambda: SqlParam(1, is_function=Boom()), "param_name", "int"),
    (lambda: SqlParam(function_name=type("Text", (str,), {})("f")), "function_name", "Text"),
    (lambda: PlaceholderParam(Boom(), python_type=[]), "python_type", "list"),
    (lambda: SqlParamRegex("(", 1), "prefix", "int"),
    (lambda: drumsel.sql_regex_list[0].resolve_param(None), "param", "NoneType"),
    (lambda: get_sql_param(b"#{a}"), "param_text", "bytes"),
    (lambda: get_regex_value("(", "x", None), "group", "NoneType"),
])
def test_type_checks_come_first(call, arg, got):
    with pytest.raises(TypeError, match=re.escape(f"Argument '{arg}' has incorrect type (expected str, got {got})")):
        call()


def test_regex_value_and_host_errors():
    pattern = r"(\s*sql_type\s*=\s*)(?P<sql_type>\w+)?"
    assert [get_regex_value(pattern, p, "sql_type") for p in ("#{a,sql_type = X ,sql_type=Y}", "#{a, sql_type=}", "#{a}")] == ["X", None, None]
    assert get_regex_value(r"(?P<v>\s*b\s*)", "a  b  c", "v") == "b"
    r = SqlParamRegex(r"@\{.+?\}", "@")
    assert r.regex.findall("@{a} @{b}") == ["@{a}", "@{b}"] and r.resolve_param("@{x, y}").param_name == "x"
    r.prefix = 7
    for call, error in [(lambda: r.resolve_param("#{a}"), TypeError), (lambda: get_regex_value("(?P<a>x)", "x", "b"), IndexError),
                        (lambda: SqlParamRegex("(", "#"), re.error), (lambda: PlaceholderParam(None), AttributeError)]:
        with pytest.raises(error):
            call()


def test_descriptors_behave_like_plain_objects():
    (d,) = get_sql_param("#{id, sql_type=INTEGER}")
    assert list(vars(d)) == ["sql_param", "full_name", "sql_type", "python_type", "type_handler", "param_name", "name"]
    assert list(vars(PlaceholderParam(SqlParam("n")))) == list(vars(d))[:-1]
    d.extra = [1]
    del d.name
    for clone in (copy.deepcopy(d), pickle.loads(pickle.dumps(d))):
        assert type(clone) is PlaceholderParam and fields(clone) == fields(d) and clone.extra == [1] and str(clone) == str(d)
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
    assert drumsel.param_function_regex.pattern == r".+?\(.+?\)"
    assert [(k, len(v), v[0]) for k, v in drumsel.type_mapping.items()] == [
        ("NUM", 9, "TINYINT"), ("BOOLEAN", 1, "BOOLEAN"), ("DATE", 3, "DATE"), ("STRING", 6, "CHAR"),
        ("BINARY", 4, "BINARY"), ("OTHER", 15, "ARRAY")]
