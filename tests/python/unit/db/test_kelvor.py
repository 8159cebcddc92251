"""results_handle decisions and messages; ZorvaneSqlSession construction and argument checks."""
import copy
import dataclasses
import types
from typing import Dict, List

import pydantic
import pytest
import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from zorvane.db.kelvor import ZorvaneSqlSession, results_handle
from zorvane.db.ostrane import SqlTemplate


class PUser(pydantic.BaseModel):
    id: int
    name: str


@dataclasses.dataclass
class DUser:
    id: int
    name: str


class Base(DeclarativeBase):
    pass


class OUser(Base):
    __tablename__ = "people"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str]


class Order(pydantic.BaseModel):
    id: int


def rows():
    return [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}, {"id": 3, "name": "c"}]


def fields(obj):
    return (obj.id, obj.name)


@pytest.fixture(params=[PUser, DUser, OUser], ids=["pydantic", "dataclass", "declarative"])
def User(request):
    return request.param


# The worked decisions: (return type, statement result type, expected) with U the model class.
WORKED = [
    (lambda U: None, lambda U: U, ("objects",)),
    (lambda U: List[U], lambda U: U, ("objects",)),
    (lambda U: list, lambda U: U, ("objects",)),
    (lambda U: list[dict], lambda U: dict, ("rows itself",)),
    (lambda U: List[int], lambda U: int, ("values", [1, 2, 3])),
    (lambda U: U, lambda U: U, ("one object",)),
    (lambda U: dict, lambda U: dict, ("first row itself",)),
    (lambda U: dict, lambda U: U, ("value", 1)),
    (lambda U: int, lambda U: int, ("value", 1)),
    (lambda U: List[U], lambda U: Order, ("error", "please check return_result_type: {ret_arg}, resultType: {rt}")),
    (lambda U: int, lambda U: None, ("error", "please check return_type: <class 'int'>, resultType: None")),
    (lambda U: dict, lambda U: list, ("error", "please check return_type: <class 'dict'>, resultType: <class 'list'>")),
    (lambda U: list, lambda U: list, ("error", "please check result type")),
    (lambda U: str, lambda U: int, ("error", "please check return_type: <class 'str'>, resultType: <class 'int'>")),
    (lambda U: Dict[str, int], lambda U: dict, ("first row itself",)),
    (lambda U: tuple[int, ...], lambda U: int, ("value", 1)),
]


@pytest.mark.parametrize("ret, rt, expected", WORKED, ids=[f"row{i}" for i in range(len(WORKED))])
def test_worked_decisions(User, ret, rt, expected):
    ret, rt = ret(User), rt(User)
    data = rows()
    before = copy.deepcopy(data)
    kind = expected[0]
    if kind == "error":
        msg = expected[1].format(ret_arg=User, rt=rt)
        with pytest.raises(TypeError) as e:
            results_handle(data, rt, ret)
        assert str(e.value) == msg
        return
    got = results_handle(data, rt, ret)
    assert data == before  # the input rows are never changed
    if kind == "objects":
        assert got is not data and all(type(o) is User for o in got)
        assert [fields(o) for o in got] == [(1, "a"), (2, "b"), (3, "c")]
    elif kind == "rows itself":
        assert got is data
    elif kind == "values":
        assert got == expected[1]
    elif kind == "one object":
        assert type(got) is User and fields(got) == (1, "a")
    elif kind == "first row itself":
        assert got is data[0]
    else:
        assert got == expected[1]


@pytest.mark.parametrize("rt, ret", [(DUser, Order), (None, int), (list, list), (None, None)], ids=str)
def test_empty_result_is_returned_as_is_whatever_the_types(rt, ret):
    empty = []
    assert results_handle(empty, rt, ret) is empty


@pytest.mark.parametrize("ret, fails", [(list, True), (dict, True), (tuple, False)], ids=str)
def test_missing_result_type(ret, fails):
    # None is no class: the container and result-class tests reject it with their own TypeError.
    if not fails:
        assert results_handle(rows(), None, ret) == 1
        return
    with pytest.raises(TypeError) as e:
        results_handle(rows(), None, ret)
    assert "please check" not in str(e.value)


def test_validation_errors_propagate_unchanged():
    with pytest.raises(pydantic.ValidationError) as e:
        results_handle([{"id": 1, "name": "a"}, {"id": "x", "name": "b"}], PUser, list)
    assert e.value.errors()[0]["loc"] == ("id",)


# Classes whose construction takes unusual roads; the outcome must match cls(**row) exactly.
class CountingMeta(type):
    made = 0

    def __call__(cls, *args, **kwargs):
        CountingMeta.made += 1
        return super().__call__(*args, **kwargs)


@dataclasses.dataclass
class ViaMeta(metaclass=CountingMeta):
    id: int


@dataclasses.dataclass
class WithNew:
    id: int

    def __new__(cls, **kwargs):
        obj = super().__new__(cls)
        obj.seen = sorted(kwargs)
        return obj


@dataclasses.dataclass(init=False)
class BadInit:
    id: int

    def __init__(self, **kwargs):
        self.id = kwargs["id"]
        return 5  # the host rejects this


def outcome(fn):
    try:
        obj = fn()
    except Exception as e:  # compared below
        return ("error", type(e), str(e))
    return ("ok", type(obj), dataclasses.asdict(obj), getattr(obj, "seen", None))


@pytest.mark.parametrize(
    "cls, row",
    [(ViaMeta, {"id": 1}), (WithNew, {"id": 1}), (BadInit, {"id": 1}), (DUser, {"id": 1}), (DUser, {"id": 1, "name": "a", "age": 3}), (DUser, {1: "a", "id": 2}),
     (OUser, {"id": 1, "name": "a", "age": 3})],
    ids=lambda v: v.__name__ if isinstance(v, type) else str(v),
)
def test_conversion_matches_calling_the_class_with_the_row(cls, row):
    CountingMeta.made = 0
    ours = outcome(lambda: results_handle([dict(row)], cls, list)[0])
    made_by_us = CountingMeta.made
    assert ours == outcome(lambda: cls(**row))
    assert made_by_us == CountingMeta.made - made_by_us  # a metaclass __call__ runs on both roads alike


def test_rows_with_changing_columns_or_other_mappings():
    name2 = "".join(["na", "me"])  # equal to "name", another object
    data = [{"id": 1, "name": "a"}, {"name": "b", "id": 2}, {"id": 3, name2: "c"}, types.MappingProxyType({"id": 4, "name": "d"})]
    assert [fields(u) for u in results_handle(data, DUser, list)] == [(1, "a"), (2, "b"), (3, "c"), (4, "d")]
    assert results_handle(data, int, List[int]) == [1, "b", 3, 4]
    with pytest.raises(TypeError, match="must be a mapping"):
        results_handle([(1, "a")], DUser, list)


# -- construction and argument checks --------------------------------------------------------


class DictSub(dict):
    pass


@pytest.mark.parametrize("value, got", [(None, "NoneType"), ([], "list"), (DictSub(), "DictSub")], ids=str)
def test_mapper_dict_must_be_exactly_a_dict(sqlite_engine, value, got):
    with pytest.raises(TypeError) as e:
        ZorvaneSqlSession(mapper_dict=value, data_source=sqlite_engine)
    assert str(e.value) == f"Argument 'mapper_dict' has incorrect type (expected dict, got {got})"


def test_without_engine_or_template_it_cannot_init():
    with pytest.raises(Exception) as e:
        ZorvaneSqlSession(mapper_dict={}, data_source=None, ostrane=None)
    assert type(e.value) is Exception and str(e.value) == "ostrane can't init"


def test_fields_context_variables_and_sessions(sqlite_engine, tmp_path):
    mappers = {"A": object()}
    s = ZorvaneSqlSession(mapper_dict=mappers, data_source=sqlite_engine)
    assert s.mapper_dict is mappers and s.data_source is sqlite_engine
    assert type(s.ostrane) is SqlTemplate and s.ostrane.data_source is sqlite_engine
    assert (s.connection_local.name, s._tx_depth.name) == (f"connection_{id(s)}", f"tx_depth_{id(s)}")
    assert s.connection_local.get() is None and s._tx_depth.get() == 0
    a, b = s.get_ori_session(), s.get_ori_session()
    assert a is not b and a.get_bind() is sqlite_engine and a.expire_on_commit is False
    assert s._ZorvaneSqlSession__con() is None
    other = sa.create_engine(f"sqlite:///{tmp_path / 'other.sqlite'}")
    given = ZorvaneSqlSession(mapper_dict={}, data_source=other, ostrane=s.ostrane)  # the template's engine wins
    assert given.ostrane is s.ostrane and given.data_source is sqlite_engine
    assert given.get_ori_session().get_bind() is sqlite_engine
    given.data_source = other  # new sessions follow the field
    assert given.get_ori_session().get_bind() is other
    a.close(), b.close(), other.dispose()
