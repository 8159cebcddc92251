"""The zorvane command, run as a separate process: lint findings, exit statuses, render."""
import json
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).parents[3]
EXAMPLE = ROOT / "examples" / "quickstart" / "mappers"


def zorvane(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "zorvane", *map(str, args)], capture_output=True, text=True, cwd=cwd)


def M(body, root='<mapper namespace="t">'):
    """A mapper file whose body starts on line 3."""
    return f'<?xml version="1.0"?>\n{root}\n{body}\n</{root[1:].split()[0].rstrip(">")}>\n'


# (files, extra arguments, code, path:line of the one finding)
CASES = {
    "bad-xml": ({"a.xml": M('<select id="s">x</selec>')}, [], "ZV001", "a.xml:3"),
    "root": ({"a.xml": M("", root="<mappr>")}, [], "ZV002", "a.xml:2"),
    "no-namespace": ({"a.xml": M("", root="<mapper>")}, [], "ZV003", "a.xml:2"),
    "namespace-twice": ({"a.xml": M(""), "b.xml": M("")}, [], "ZV004", "b.xml:2"),
    "no-id": ({"a.xml": M("<select>x</select>")}, [], "ZV005", "a.xml:3"),
    "duplicate-id": ({"a.xml": M('<select id="s">x</select>\n<update id="s">y</update>')}, [], "ZV006", "a.xml:4"),
    "unsupported": ({"a.xml": M('<select id="s">x\n  <iff test="1">y</iff></select>')}, [], "ZV007", "a.xml:4"),
    "no-test": ({"a.xml": M('<select id="s"><if>y</if></select>')}, [], "ZV008", "a.xml:3"),
    "no-collection": (
        {"a.xml": M('<select id="s">\n<foreach item="i" open="(" close=")" separator=",">#{i}</foreach></select>')},
        [], "ZV008", "a.xml:4"),
    "unknown-refid": ({"a.xml": M('<select id="s"><include refid="cols"/></select>')}, [], "ZV009", "a.xml:3"),
    "cycle": ({"a.xml": M('<sql id="x"><include refid="y"/></sql>\n<sql id="y"><include refid="x"/></sql>')},
              [], "ZV010", "a.xml:4"),
    "bad-test": ({"a.xml": M('<select id="s">\n\n<if test="params[">y</if></select>')}, [], "ZV011", "a.xml:5"),
    "bad-collection": (
        {"a.xml": M('<select id="s"><foreach item="i" collection="a b" open="" close="" separator="">#{i}</foreach>'
                    "</select>")},
        [], "ZV011", "a.xml:3"),
    "choose-no-when": ({"a.xml": M('<select id="s"><choose><otherwise>o</otherwise></choose></select>')},
                       [], "ZV012", "a.xml:3"),
    "unclosed-mark": ({"a.xml": M('<select id="s">select 1\n where a = #{a</select>')}, [], "ZV013", "a.xml:4"),
    "empty-mark": ({"a.xml": M('<select id="s"><![CDATA[select #{ }]]></select>')}, [], "ZV013", "a.xml:3"),
    # Bytes that are not UTF-8 in a UTF-8 document; a declared Latin-1 document reads on.
    "not-utf8": ({"a.xml": M('<select id="s">select 1 as \xe9t\xe9</select>').encode("latin-1")}, [], "ZV001",
                 "a.xml:3"),
    "latin-1": ({"a.xml": M('<select id="s">#{\xe9t\xe9</select>').replace('"1.0"', '"1.0" encoding="ISO-8859-1"')
                 .encode("latin-1")}, [], "ZV013", "a.xml:3"),
    "splice": ({"a.xml": M('<select id="s">select 1 order by ${col}</select>')}, [], "ZV101", "a.xml:3"),
    "result-type": ({"a.xml": M('<select id="s" resultType="no_such_pkg.Row">x</select>')}, ["--import"],
                    "ZV102", "a.xml:3"),
    # The mapper class is loaded with the result type; the foreach item is no parameter.
    "typo-param": ({"a.xml": M('<select id="s" resultType="rows.Row">select #{emial} where id = #{id} and x in '
                               '<foreach item="x" collection="xs" open="(" close=")" separator=",">#{x}</foreach>'
                               '</select>'),
                    "rows.py": "import dataclasses\nfrom zorvane.zorvane import BaseMapper\n"
                               "@dataclasses.dataclass\nclass Row:\n    id: int\n"
                               "class t(BaseMapper):\n    def s(self, id, email, xs): ...\n"},
                   ["--import"], "ZV014", "a.xml:3"),
    # Methods with a statement, a body of their own or a private name are fine; one typo is not.
    "empty-method": ({"a.xml": M('<select id="s" resultType="rows.Row">select 1 as id</select>'),
                      "rows.py": "import dataclasses\nfrom zorvane.zorvane import AsyncBaseMapper\n"
                                 "@dataclasses.dataclass\nclass Row:\n    id: int\n"
                                 "class t(AsyncBaseMapper):\n    async def s(self): ...\n"
                                 "    def own(self):\n        return 1\n    def _helper(self): ...\n"
                                 "    async def ss(self):\n        'typo of s'\n"},
                     ["--import"], "ZV015", "a.xml:2"),
    # db_type variants: one per kind besides the statement without db_type; "mariadb" is the mysql kind.
    "duplicate-variant": ({"a.xml": M('<select id="s">x</select>\n<select id="s" db_type="mysql">y</select>\n'
                                      '<select id="s" db_type="mariadb">z</select>')}, [], "ZV006", "a.xml:5"),
    "bad-db-type": ({"a.xml": M('<select id="s">x</select>\n<select id="s" db_type="oracle">y</select>')}, [],
                    "ZV016", "a.xml:4"),
    "no-fallback": ({"a.xml": M('<select id="s" db_type="postgresql">x</select>\n'
                                '<select id="s" db_type="sqlite">y</select>')}, [], "ZV105", "a.xml:3"),
    "unused-item": (
        {"a.xml": M('<select id="s"><foreach item="i" collection="ids" open="" close="" separator=",">?</foreach>'
                    "</select>")},
        [], "ZV103", "a.xml:3"),
}


@pytest.mark.parametrize("fmt", ["text", "json"])
@pytest.mark.parametrize("case", CASES)
def test_lint_reports_each_fault_once_where_it_is(tmp_path, case, fmt):
    files, extra, code, where = CASES[case]
    for name, text in files.items():
        (tmp_path / name).write_bytes(text if isinstance(text, bytes) else text.encode())
    run = zorvane("lint", "--format", fmt, *extra, ".", cwd=tmp_path)
    error = not code.startswith("ZV1")
    assert (run.returncode, run.stderr) == (int(error), "")
    if fmt == "text":
        line = run.stdout.splitlines()
        assert len(line) == 1 and line[0].startswith(f"./{where}:") and f": {code} " in line[0], run.stdout
    else:
        (finding,) = json.loads(run.stdout)
        assert (f"{pathlib.Path(finding['path']).name}:{finding['line']}", finding["code"]) == (where, code)
        assert finding["severity"] == ("error" if error else "warning") and finding["col"] >= 1 and finding["message"]


def test_own_mapper_files_lint_clean():
    for path in (ROOT / "examples", ROOT / "tests" / "python" / "data" / "mappers" / "user.xml"):
        run = zorvane("lint", path)
        assert (run.returncode, run.stdout) == (0, "")


@pytest.mark.parametrize(
    "args", [["lint"], ["lint", "no/such/dir"], ["render", EXAMPLE, "UserMapper.find_users", "--params", "[1"],
             ["render", EXAMPLE, "find_users"]]
)
def test_bad_usage_exits_2(args):
    run = zorvane(*args)
    assert run.returncode == 2 and run.stdout == "" and run.stderr


def test_render_explains_the_example_statement():
    run = zorvane("render", EXAMPLE, "UserMapper.find_users", "--params", '{"cities": ["Oslo", "Rome"]}', "--explain")
    assert run.returncode == 0, run.stderr
    sql, params, *decisions = run.stdout.splitlines()
    assert sql == "SELECT id, name, age, city FROM user WHERE city IN (:cities_for_index_0,:cities_for_index_1) ORDER BY id"
    assert json.loads(params.removeprefix("params: ")) == {"cities_for_index_0": "Oslo", "cities_for_index_1": "Rome"}
    assert decisions[2:4] == ["line 11 <if> params.get('cities') -> true", "line 12 <foreach> cities -> 2 items"]
    assert decisions[-2:] == ["line 16 <choose> -> otherwise (line 18)", "line 17 <when> params.get('order') == 'age' -> false"]


def test_render_of_an_unknown_id_names_it_and_the_namespace():
    run = zorvane("render", EXAMPLE, "UserMapper.find_user")
    assert run.returncode == 1
    assert run.stderr.splitlines() == [
        "zorvane: StatementNotFoundError: Missing id",
        f"  no statement 'find_user' in namespace 'UserMapper' ({EXAMPLE / 'UserMapper.xml'})"]


def test_render_failure_names_file_and_line():
    run = zorvane("render", EXAMPLE, "UserMapper.find_users", "--params", '{"cities": "Oslo"}')
    assert run.returncode == 1
    assert "Collection must be a list" in run.stderr and "UserMapper.xml:12: in statement 'find_users'" in run.stderr


def test_render_shows_in_lists_expanded(tmp_path):
    (tmp_path / "t.xml").write_text(M('<select id="s">SELECT id FROM t WHERE id IN (#{ids}) AND name NOT IN #{names}</select>'))
    run = zorvane("render", tmp_path, "t.s", "--params", '{"ids": [4, 5], "names": []}', "--explain")
    assert run.returncode == 0, run.stderr
    sql, params = run.stdout.splitlines()[:2]
    assert sql == "SELECT id FROM t WHERE id IN (:ids_in_0, :ids_in_1) AND name NOT IN (SELECT NULL WHERE 1=0)"
    assert json.loads(params.removeprefix("params: ")) == {"ids_in_0": 4, "ids_in_1": 5}
