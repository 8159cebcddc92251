"""Random element trees rendered by ParseMapper and by the plain reference renderer give the same text."""
import random
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape, quoteattr

import pytest

from reference import mapper_render
from zorvane.mapper.vantrel import ParseMapper

RUNS = ["", " ", "  \n\t", "AND", "and", "OR ", ",", " , ", "a = 1", "#{p}", "#{it}", "'x  y'", '"q  ,"', "`c  d`",
        "ANDROID", " (", ") ", "'it''s  ok'", "E'it\\'s  , x'", "$$ AND  , $$", " $t$ a  $$ , $t$"]
FRAGMENTS = '<sql id="f1">id ,  name</sql><sql id="f2"><include refid="f1"/> <if test="params[\'t0\']">, age</if></sql>'


def text(rng):
    return escape("".join(rng.choice(RUNS) for _ in range(rng.randint(0, 4))))


def tree(rng, depth):
    out = text(rng)
    for _ in range(rng.randint(0, 3) if depth > 0 else 0):
        out += element(rng, depth - 1) + text(rng)
    return out


def element(rng, depth):
    kind = rng.choice(["if", "where", "set", "trim", "choose", "foreach", "include", "sql"])
    inner = tree(rng, depth)
    if kind == "if":
        return f"<if test=\"params['t{rng.randint(0, 3)}']\">{inner}</if>"
    if kind == "trim":
        attrs = "".join(
            f" {name}={quoteattr(rng.choice(values))}"
            for name, values in [("prefix", ["WHERE", "(", "SET"]), ("suffix", [")", "", "END"]),
                                 ("prefixOverrides", ["AND|OR", "AND |OR ", ",", "|AND||", ""]),
                                 ("suffixOverrides", [",", "OR|", "x||,"])]
            if rng.random() < 0.6
        )
        return f"<trim{attrs}>{inner}</trim>"
    if kind == "choose":
        whens = "".join(f"<when test=\"params['t{rng.randint(0, 3)}']\">{tree(rng, depth - 1)}</when>" for _ in range(rng.randint(0, 2)))
        other = f"<otherwise>{tree(rng, depth - 1)}</otherwise>" if rng.random() < 0.8 else ""
        return f"<choose>{other if rng.random() < 0.3 else ''}{whens}{other}</choose>"
    if kind == "foreach":
        return f'<foreach item="it" collection="l{rng.randint(0, 1)}" open="(" close=")" separator="{rng.choice([",", ", ", " OR "])}">{inner}</foreach>'
    if kind == "include":
        return f'<include refid="{rng.choice(["f1", "f2"])}"/>'
    return f"<{kind}>{inner}</{kind}>"


def outcome(fn):
    try:
        return fn()
    except mapper_render.GenericError as e:
        return ("Exception", str(e))
    except Exception as e:
        return (type(e).__name__, str(e) if type(e) is Exception else "")


@pytest.mark.parametrize("seed", range(60))
def test_matches_reference(tmp_path, seed):
    rng = random.Random(seed)
    statements = [f"<select id='s{i}'>{tree(rng, 3)}</select>" for i in range(5)]
    path = tmp_path / "r.xml"
    path.write_text(f"<mapper namespace='r'>{FRAGMENTS}{''.join(statements)}</mapper>")
    mapper = ParseMapper(str(path))
    fragments = {k: e for k, e in mapper.id_2_element_map.items() if k.startswith("f")}
    for i in range(5):
        element = mapper.id_2_element_map[f"s{i}"]
        sql = ET.Element("sql")
        sql.text, sql[:] = element.text, list(element)
        for _ in range(4):
            params = {f"t{k}": rng.random() < 0.5 for k in range(4)}
            params.update(l0=[1] * rng.randint(0, 3), l1=[2] * rng.randint(0, 2), p=1)
            ours = outcome(lambda: mapper.parse_element(sql, {"params": params}))
            expected = outcome(lambda: mapper_render.render(sql, params, fragments))
            assert ours == expected, ET.tostring(element)
            if isinstance(expected, str):  # the statement itself renders the same text
                stmt, values, _, _ = mapper.get_sql(f"s{i}", params)
                want, want_values = ParseMapper.to_prepared_statement(expected, params)
                assert (stmt.text, values) == (want.text, want_values)
