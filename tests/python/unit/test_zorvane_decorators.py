"""Argument binding, wrapper metadata and row conversion of the statement decorators (no database needed)."""
import dataclasses
import inspect

import pydantic
import pytest

import zorvane.zorvane as zv
from zorvane.db.ostrane import Page

combine_args = getattr(zv, "__combine_args")
combine_args_page = getattr(zv, "__combine_args_page")
EMPTY = inspect.Parameter.empty
FACTORIES = [zv.select_one, zv.select_list, zv.select_page, zv.insert, zv.insert_list, zv.update, zv.delete]


@dataclasses.dataclass
class User:
    id: int
    name: str


class PUser(pydantic.BaseModel):
    id: int
    name: str


class Dao:
    def find(self, name, age=18, *, note=None): ...

    def paged(self, name, page: Page, size=5): ...

    def paged_later(self, page: "Page" = None, name=None): ...


P = Page(2, 5)


@pytest.mark.parametrize(
    "fun, args, kwargs, params, page",
    [
        (Dao.find, ("me", "bob", 30), {}, {"self": "me", "name": "bob", "age": 30, "note": None}, None),
        (Dao.find, ("me",), {"name": "al", "note": "n"}, {"self": "me", "name": "al", "age": 18, "note": "n"}, None),
        # a missing parameter keeps the absent-default marker; unknown keywords and extra positionals are ignored
        (Dao.find, ("me",), {"zzz": 1}, {"self": "me", "name": EMPTY, "age": 18, "note": None}, None),
        # positions run over the whole signature, keyword-only parameters included
        (Dao.find, ("me", "b", 1, "n", "more"), {"note": "kw"}, {"self": "me", "name": "b", "age": 1, "note": "n"}, None),
        # positional arguments take precedence over keywords of the same parameter
        (Dao.find, ("me", "pos"), {"name": "kw"}, {"self": "me", "name": "pos", "age": 18, "note": None}, None),
        # a Page is the page whether passed by position, by keyword or to a parameter not annotated with it
        (Dao.paged, ("me", "x", P), {}, {"self": "me", "name": "x", "size": 5}, P),
        (Dao.paged, ("me",), {"page": P, "name": "y"}, {"self": "me", "name": "y", "size": 5}, P),
        (Dao.find, ("me", P), {}, {"self": "me", "age": 18, "note": None}, P),
        # an annotated page parameter without a value fills the page slot with its default
        (Dao.paged, ("me", "x"), {}, {"self": "me", "name": "x", "size": 5}, EMPTY),
        (Dao.paged_later, ("me",), {"name": "z"}, {"self": "me", "name": "z"}, None),
    ],
)
def test_combine_args(fun, args, kwargs, params, page):
    assert combine_args(fun, args, kwargs) == params
    got_params, got_page = combine_args_page(fun, args, kwargs)
    assert got_params == params and list(got_params) == list(params)
    assert got_page is page


def test_combine_args_checks_its_arguments():
    with pytest.raises(TypeError, match="Argument 'kwargs' has incorrect type"):
        combine_args(Dao.find, (), None)
    with pytest.raises(TypeError, match="args must be a sequence"):
        combine_args(Dao.find, 5, {})
    with pytest.raises(TypeError):
        combine_args(42, (), {})


@pytest.mark.parametrize("factory", FACTORIES, ids=lambda f: f.__name__)
def test_wrapper_carries_the_functions_metadata(factory):
    def find_user(self, name: str, age: int = 3) -> list[User]:
        """Finds users."""

    find_user.custom = "kept"
    wrapper = factory("select 1")(find_user)
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__, wrapper.__module__) == (
        find_user.__name__, find_user.__qualname__, "Finds users.", __name__)
    assert wrapper.__wrapped__ is find_user and wrapper.custom == "kept"
    assert inspect.signature(wrapper) == inspect.signature(find_user)

    class Holder:
        method = wrapper

    assert str(inspect.signature(Holder().method)) == "(name: str, age: int = 3) -> list[test_zorvane_decorators.User]"


@pytest.mark.parametrize("factory", FACTORIES + [lambda s: zv._sql_decorator(s, "insert")])
def test_factories_want_text_and_decorators_one_function(factory):
    with pytest.raises(TypeError, match="has incorrect type \\(expected str, got int\\)"):
        factory(3)
    deco = factory("select 1")
    with pytest.raises(TypeError, match="exactly one argument"):
        deco(len, len)
    with pytest.raises(TypeError, match="exactly one argument"):
        deco(func=len)


@pytest.mark.parametrize(
    "result_type, row, expected",
    [
        (User, {"id": 1, "name": "a"}, User(1, "a")),
        (PUser, {"id": 1, "name": "a"}, PUser(id=1, name="a")),
        (int, {"n": 7}, 7),  # one column: its value, whatever the type
        (User, {"n": 7}, TypeError),  # a result class is always built, and the row does not fit it
        (int, {"a": 1, "b": 2}, TypeError),  # several columns and no result class: int(**row) fails
        (dict, {"a": 1, "b": 2}, {"a": 1, "b": 2}),
    ],
)
def test_result_type_handle(result_type, row, expected):
    if expected is TypeError:
        with pytest.raises(TypeError):
            zv.result_type_handle(result_type, row)
    else:
        got = zv.result_type_handle(result_type, row)
        assert got == expected and type(got) is type(expected)


def test_result_type_handle_wants_a_plain_dict():
    class Row(dict):
        pass

    for bad in (Row(id=1, name="a"), [("id", 1)], None):
        with pytest.raises(TypeError, match="Argument 'result' has incorrect type"):
            zv.result_type_handle(User, bad)


@pytest.mark.parametrize("options, error, text", [
    ({"transactional": True, "retries": -1}, ValueError, "retries must be 0 or more, got -1"),
    ({"retries": 2}, ValueError, "retries=2 needs transactional=True"),
    ({"transactional": True, "retries": 2.0}, TypeError, "retries must be an int, not float"),
    ({"transactional": True, "retries": 2, "retry_base_s": 0}, ValueError, "retry_base_s must be above 0"),
    ({"transactional": True, "retries": 2, "retry_cap_s": 0.001}, ValueError, "retry_cap_s must not be below"),
])
def test_datasource_refuses_retry_options_at_decoration(options, error, text):
    with pytest.raises(error, match=text):
        zv.datasource("main", **options)
    assert zv.datasource("main", nested=True, retries=3)  # a savepoint call opens a transaction when none is open
