"""tools/check_dist.py: installs the built wheels (or the sdist) in fresh venvs and runs them from outside the tree.

usage: check_dist.py DIST PYTHON...          each wheel of DIST into a venv of every PYTHON it serves,
                                             with no compiler reachable; quickstart + smoke test, and
                                             on PYTHONs after the first (which CI runs the full suite
                                             on) the `smoke` tests from a copy of the tree
       check_dist.py --sdist DIST PYTHON     the sdist from a clean unpack, built by pip (needs a compiler)
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Run inside the venv, from a directory outside the tree: the imported package must be the installed one.
SMOKE = r"""
import importlib, pathlib, sys, sysconfig
from importlib.machinery import EXTENSION_SUFFIXES
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
names = ["zorvane.zorvane", "zorvane.exception", "zorvane.cli", "zorvane.mapper.vantrel", "zorvane.db.ostrane",
         "zorvane.db.kelvor", "zorvane.utils.drumsel", "zorvane.utils.pennick", "zorvane.utils.corvint",
         "zorvane.utils.malvey", "zorvane.utils.tibbet"]
for name in names:
    f = pathlib.Path(importlib.import_module(name).__file__).resolve()
    assert f.is_relative_to(site), f"{name} imported from {f}, not from the venv"
    assert f.name.endswith(tuple(EXTENSION_SUFFIXES)), f
    if sys.version_info >= (3, 12):
        assert ".abi3." in f.name, f"{f.name} is not the stable-ABI build"
assert (site / "zorvane" / "py.typed").exists() and (site / "zorvane" / "zorvane.pyi").exists()
from zorvane.zorvane import DBConfig, ZorvaneConfig, select_list, insert
from zorvane.db.ostrane import SqlTemplate
ZorvaneConfig(DBConfig(main={"db_type": "sqlite", "sqlite_path": "smoke.db"}))
ZorvaneConfig.datasource["main"]["db"].connect().exec_driver_sql("select 1").close()
class Dao:
    @insert("insert into t (name) values (#{name})")
    def add(self, name: str) -> int: ...
    @select_list("select name from t where name like #{p} order by id")
    def like(self, p: str) -> list[str]: ...
import sqlalchemy as sa
with ZorvaneConfig.datasource["main"]["db"].begin() as c:
    c.execute(sa.text("create table t (id integer primary key, name text)"))
assert [Dao().add(n) for n in ("ada", "bob", "al")] == [1, 2, 3]
assert Dao().like("a%") == ["ada", "al"], Dao().like("a%")
print(f"smoke ok: Python {sys.version.split()[0]}, {len(names)} compiled modules from {site}")
"""


def run(cmd, **kw):
    shown = ["<smoke script>" if c is SMOKE else str(c) for c in cmd]
    print("+", " ".join(shown), flush=True)
    subprocess.run(cmd, check=True, **kw)


def wheel_pythons(wheel, pythons):
    """The interpreters a wheel serves, by its tag: cp311-cp311, or cp312-abi3 for 3.12 and later."""
    tag = wheel.name.split("-")[2:4]
    out = []
    for py in pythons:
        ver = subprocess.run([py, "-c", "import sys; print('%d%d' % sys.version_info[:2])"],
                             capture_output=True, text=True, check=True).stdout.strip()
        if tag[1] == "abi3" and int(ver) >= int(tag[0][2:]) or tag[0] == f"cp{ver}":
            out.append(py)
    return out


def no_compiler_env(venv):
    """An environment whose PATH holds only the venv: no cc, g++ or cmake, and CC/CXX that fail."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
    env.update(PATH=str(venv / "bin"), CC="false", CXX="false", PIP_DISABLE_PIP_VERSION_CHECK="1")
    for tool in ("cc", "gcc", "g++", "c++", "cmake", "ninja"):
        assert shutil.which(tool, path=env["PATH"]) is None, tool
    return env


def smoke_tests(venv, env, work):
    """pytest -m smoke from a copy of the tests, the guide, the examples and the pytest settings: no sources in reach."""
    tree = work / f"tree-{venv.name}"
    shutil.copytree(ROOT / "tests" / "python", tree / "tests" / "python", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copytree(ROOT / "docs", tree / "docs")
    shutil.copytree(ROOT / "examples", tree / "examples", ignore=shutil.ignore_patterns("*.db", "__pycache__"))
    shutil.copy(ROOT / "pyproject.toml", tree)
    run([venv / "bin" / "python", "-m", "pytest", "-p", "no:cacheprovider", "-m", "smoke", "tests/python"],
        cwd=tree, env=env)


def check_wheel(wheel, python, work, with_tests):
    venv = work / f"venv-{python.split('/')[-3] if '/versions/' in python else pathlib.Path(python).name}"
    run([python, "-m", "venv", venv])
    env = no_compiler_env(venv)
    print(f"no compiler on PATH={env['PATH']} (CC={env['CC']} CXX={env['CXX']})")
    run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--only-binary", "zorvane", f"{wheel}[test]"], env=env)
    app = work / "quickstart"
    shutil.rmtree(app, ignore_errors=True)
    shutil.copytree(ROOT / "examples" / "quickstart", app, ignore=shutil.ignore_patterns("*.db", "__pycache__"))
    run([venv / "bin" / "python", "main.py"], cwd=app, env=env, stdout=subprocess.DEVNULL)
    print("quickstart ok")
    smoke = work / f"smoke-{venv.name}"
    smoke.mkdir()
    run([venv / "bin" / "python", "-c", SMOKE], cwd=smoke, env=env)
    if with_tests:
        smoke_tests(venv, env, work)


def main(argv):
    sdist = argv[:1] == ["--sdist"]
    dist, *pythons = argv[1:] if sdist else argv
    dist = pathlib.Path(dist).resolve()
    with tempfile.TemporaryDirectory(prefix="zorvane-dist-") as tmp:
        work = pathlib.Path(tmp)
        if sdist:
            (archive,) = dist.glob("zorvane-*.tar.gz")
            with tarfile.open(archive) as t:
                t.extractall(work, filter="data")
            (src,) = work.glob("zorvane-*")
            venv = work / "venv"
            run([pythons[0], "-m", "venv", venv])
            run([venv / "bin" / "python", "-m", "pip", "install", "-q", src])
            run([venv / "bin" / "python", "-c", SMOKE], cwd=work)
            return 0
        wheels = sorted(dist.glob("zorvane-*manylinux*.whl"))
        assert wheels, f"no manylinux wheels in {dist}"
        for wheel in wheels:
            served = wheel_pythons(wheel, pythons)
            assert served, f"none of {pythons} runs {wheel.name}"
            for py in served:
                print(f"== {wheel.name} ({wheel.stat().st_size // 1024} KiB) on {py}", flush=True)
                check_wheel(wheel, py, work, with_tests=py != pythons[0])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
