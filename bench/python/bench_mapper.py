"""Mapper documents: rendering with dynamic elements, foreach growth and loading files."""
import pathlib
import tempfile
import time
import xml.etree.ElementTree as ET

import sqlalchemy as sa

from _fixtures import mapper_text
from _timing import compare, header
from zorvane.mapper.vantrel import ParseMapper

TMP = pathlib.Path(tempfile.mkdtemp())

path = TMP / "one.xml"
path.write_text(mapper_text("UserMapper", 1))
m = ParseMapper(str(path))

header("get_sql: select with where and four if tests, warm (target: at most 0.5x of text() on its output)")
params = {"name": "ann", "min_age": 18, "city": "Oslo", "ids": [1, 2, 3]}
out_sql = m.get_sql("find_0", params)[0].text
print(f"   output: {out_sql}")
compare("get_sql vs sa.text(output)", lambda: m.get_sql("find_0", params), lambda: sa.text(out_sql), 20000, 15, 0.5)

header("foreach growth (target: 1,000 ids at most 120x of 10 ids)")
p10 = {"ids": list(range(10))}
p1000 = {"ids": list(range(1000))}
compare("get_sql, foreach of 1,000 ids vs 10 ids", lambda: m.get_sql("find_0", p1000), lambda: m.get_sql("find_0", p10), 200, 15, 120)

header("loading 200 files of 20 statements (target: under 2x of ElementTree.parse alone)")
files = []
for i in range(200):
    f = TMP / f"m{i}.xml"
    f.write_text(mapper_text(f"Mapper{i}", 20))
    files.append(str(f))


def load_all():
    for f in files:
        ParseMapper(f)


def parse_all():
    for f in files:
        ET.parse(f)


compare("ParseMapper on 200 files vs ET.parse on them", load_all, parse_all, 1, 15, 2.0)
t0 = time.perf_counter()
mappers = [ParseMapper(f) for f in files]
print(f"   {sum(len(x.id_2_element_map) for x in mappers)} statements loaded in {(time.perf_counter() - t0) * 1e3:.1f} ms")
