"""Type names from text, containers and result classes."""
import dataclasses
import sys
import typing
from collections.abc import Container, Iterable

import pydantic
import pytest
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from zorvane.utils import pennick
from zorvane.utils.pennick import (
    get_base_type,
    get_type_from_string,
    is_container_type,
    is_container_type_by_str,
    is_result_class,
)


class Base(DeclarativeBase):
    pass


class Row(Base):
    __tablename__ = "row_t"
    id: Mapped[int] = mapped_column(primary_key=True)


class Model(pydantic.BaseModel):
    a: int


@dataclasses.dataclass
class Plain:
    a: int


@pytest.fixture
def app_module(tmp_path, monkeypatch):
    pkg = tmp_path / "zv_app"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "models.py").write_text("class User:\n    pass\n\nnot_a_class = 3\n")
    (pkg / "broken.py").write_text("raise RuntimeError('boom at import')\n")
    (pkg / "badattr.py").write_text("import os\nos.no_such_thing\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    yield "zv_app"
    for name in [m for m in sys.modules if m.startswith("zv_app")]:
        del sys.modules[name]


@pytest.mark.parametrize(
    "text, expected",
    [("dict", dict), ("int", int), ("list", list), ("BaseModel", pydantic.BaseModel), ("Container", Container),
     ("Iterable", Iterable), ("DeclarativeBase", DeclarativeBase), ("collections.OrderedDict", __import__("collections").OrderedDict)],
)
def test_known_names(text, expected):
    assert get_type_from_string(text) is expected


def test_dotted_name_imports_module(app_module):
    cls = get_type_from_string("zv_app.models.User")
    assert cls.__name__ == "User" and cls is sys.modules["zv_app.models"].User


@pytest.mark.parametrize(
    "text, message",
    [
        ("User", "未知的类型: User"),
        ("typing.List", "未知的类型: typing.List"),
        ("list[int]", "未知的类型: list[int]"),
        ("zv_app.models.not_a_class", "未知的类型: zv_app.models.not_a_class"),
        ("zv_app.models.Nope", "无法导入类型 zv_app.models.Nope: module 'zv_app.models' has no attribute 'Nope'"),
        ("zv_app.nowhere.User", "无法导入类型 zv_app.nowhere.User: No module named 'zv_app.nowhere'"),
        ("get_base_type", "未知的类型: get_base_type"),
        ("List", "未知的类型: List"),
    ],
)
def test_unresolvable_names(app_module, text, message):
    with pytest.raises(ValueError) as info:
        get_type_from_string(text)
    assert str(info.value) == message


@pytest.mark.parametrize("path, error", [("zv_app.broken.X", RuntimeError), ("zv_app.badattr.X", AttributeError)])
def test_errors_of_the_imported_module_pass_through(app_module, path, error):
    with pytest.raises(error):
        get_type_from_string(path)


@pytest.mark.parametrize("fn", [get_type_from_string, is_container_type_by_str])
def test_text_argument_is_checked(fn):
    with pytest.raises(TypeError, match="Argument 'type_str' has incorrect type"):
        fn(None)


@pytest.mark.parametrize(
    "text, expected",
    [("list", True), ("tuple", True), ("dict", True), ("set", True), ("List", False), ("frozenset", False),
     ("str", False), ("zv_app.models.User", False), ("True", False), ("Container", False)],
)
def test_is_container_type_by_str(text, expected):
    assert is_container_type_by_str(text) is expected


@pytest.mark.parametrize(
    "hint, expected",
    [(list, True), (list[dict], True), (dict[str, str], True), (tuple[int, ...], True), (set[str], True),
     (typing.List[int], True), (int, False), (str, False), (Model, False), (frozenset, False)],
)
def test_is_container_type(hint, expected):
    assert is_container_type(hint) is expected


@pytest.mark.parametrize("bad", [None, 3, "list"])
def test_is_container_type_rejects_non_classes(bad):
    with pytest.raises(TypeError):
        is_container_type(bad)


@pytest.mark.parametrize(
    "hint, base", [(list[dict], list), (typing.List[Model], list), (dict[str, int], dict), (Model, Model), (None, None)]
)
def test_get_base_type(hint, base):
    assert get_base_type(hint) is base


@pytest.mark.parametrize("cls, expected", [(Model, True), (Plain, True), (Row, True), (dict, False), (int, False)])
def test_is_result_class(cls, expected):
    assert is_result_class(cls) is expected


@pytest.mark.parametrize("bad", [None, Model(a=1), "Model"])
def test_is_result_class_rejects_non_classes(bad):
    with pytest.raises(TypeError):
        is_result_class(bad)


def test_module_namespace():
    assert pennick.Container is Container and pennick.Iterable is Iterable
    assert pennick.BaseModel is pydantic.BaseModel and pennick.DeclarativeBase is DeclarativeBase
    assert pennick.List is typing.List
