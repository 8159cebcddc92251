"""Mapper lint: checking files against loading them."""
import pathlib
import tempfile

from _fixtures import mapper_text
from _timing import compare, header
from zorvane.cli import main
from zorvane.mapper.vantrel import ParseMapper

TMP = pathlib.Path(tempfile.mkdtemp())
files = []
for i in range(200):
    f = TMP / f"m{i}.xml"
    f.write_text(mapper_text(f"Mapper{i}", 20))
    files.append(str(f))


def lint_all():
    if main(["lint", str(TMP)]) != 0:  # clean files: nothing is printed
        raise SystemExit("the generated files do not lint clean")


def load_all():
    for f in files:
        ParseMapper(f)


header("zorvane lint on 200 files of 20 statements (target: at most 2x of loading them with ParseMapper)")
compare("zorvane lint vs ParseMapper on the same files", lint_all, load_all, 1, 15, 2.0)
