"""The package is really compiled, and its stubs describe what the modules offer."""
import ast
import importlib
import pathlib
import sys
from importlib.machinery import EXTENSION_SUFFIXES

import pytest

import zorvane

ALL_MODULES = [
    "zorvane.zorvane",
    "zorvane.exception",
    "zorvane.cli",
    "zorvane.testing",
    "zorvane.mapper.vantrel",
    "zorvane.db.ostrane",
    "zorvane.db.kelvor",
    "zorvane.utils.drumsel",
    "zorvane.utils.pennick",
    "zorvane.utils.corvint",
    "zorvane.utils.malvey",
    "zorvane.utils.tibbet",
]
PKG = pathlib.Path(zorvane.__file__).parent


@pytest.mark.parametrize("name", ALL_MODULES)
def test_module_is_compiled(name):
    assert importlib.import_module(name).__file__.endswith(tuple(EXTENSION_SUFFIXES))


@pytest.mark.skipif(sys.version_info < (3, 12), reason="3.11 builds against the full C API")
@pytest.mark.parametrize("name", ALL_MODULES)
def test_module_is_stable_abi_build(name):
    assert ".abi3." in pathlib.Path(importlib.import_module(name).__file__).name


def test_package_init_files_hold_no_logic():
    for init in PKG.rglob("__init__.py"):
        body = ast.parse(init.read_text()).body
        assert all(isinstance(n, ast.Expr) and isinstance(n.value, ast.Constant) for n in body), init


def test_marked_as_typed():
    assert (PKG / "py.typed").exists()


def _stub_names(stub: pathlib.Path) -> set:
    names = set()
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            is_typevar = isinstance(node.value, ast.Call) and getattr(node.value.func, "id", "") == "TypeVar"
            names.update(t.id for t in node.targets if isinstance(t, ast.Name) and not (is_typevar and t.id.startswith("_")))
        elif isinstance(node, ast.ImportFrom):
            names.update(a.name for a in node.names if a.asname == a.name)  # explicit re-exports
    return names


@pytest.mark.parametrize("name", ALL_MODULES)
def test_stub_lists_every_public_name(name):
    module = importlib.import_module(name)
    stub = PKG.joinpath(*name.split(".")[1:]).with_suffix(".pyi")
    assert stub.exists(), stub
    declared = _stub_names(stub)
    own = {
        n
        for n, v in vars(module).items()
        if not n.startswith("__") and getattr(v, "__module__", name) in (name, None) and not isinstance(v, type(ast))
    }
    missing = {n for n in own if not n.startswith("_")} - declared
    assert not missing, f"{stub.name} lacks {sorted(missing)}"
    assert declared - set(vars(module)) == set(), f"{stub.name} names what {name} lacks"
