"""results_handle decisions and messages; ZorvaneSqlSession construction and argument checks."""
import abc
import collections
import copy
import dataclasses
import types
from typing import Dict, List

import pydantic
import pytest
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


@pytest.mark.parametrize(
    "rt, ret", [(DUser, Order), (None, int), (list, list), (dict, list[DUser]), (None, None), (int, str)], ids=str
)
def test_empty_result_is_returned_as_is_whatever_the_types(rt, ret):
    empty = []
    assert results_handle(empty, rt, ret) is empty


@pytest.mark.parametrize("ret", [list, None, dict], ids=str)
def test_missing_result_type_fails_with_the_type_test_error(ret):
    # None is no class: the container and result-class tests reject it with their own TypeError.
    with pytest.raises(TypeError) as e:
        results_handle(rows(), None, ret)
    assert "please check" not in str(e.value)


def test_missing_result_type_with_a_tuple_return_gives_the_first_value():
    assert results_handle(rows(), None, tuple) == 1


def test_constructor_errors_propagate_unchanged():
    with pytest.raises(pydantic.ValidationError) as e:
        results_handle([{"id": 1, "name": "a"}, {"id": "x", "name": "b"}], PUser, list)
    assert e.value.errors()[0]["loc"] == ("id",)
    extra = {"id": 1, "name": "a", "age": 3}
    for cls in (DUser, OUser):
        with pytest.raises(TypeError) as ours:
            results_handle([extra], cls, list)
        with pytest.raises(TypeError) as plain:
            cls(**extra)
        assert str(ours.value) == str(plain.value)


# Classes whose construction takes unusual roads; the result must match cls(**row) exactly.
@dataclasses.dataclass
class WithPostInit:
    id: int
    name: str
    label: str = dataclasses.field(init=False)

    def __post_init__(self):
        if self.id < 0:
            raise ValueError("negative id")
        self.label = f"{self.id}:{self.name}"


@dataclasses.dataclass(slots=True, kw_only=True)
class Slotted:
    id: int
    name: str = "none"


class CountingMeta(type):
    made = 0

    def __call__(cls, *args, **kwargs):
        CountingMeta.made += 1
        return super().__call__(*args, **kwargs)


@dataclasses.dataclass
class ViaMeta(metaclass=CountingMeta):
    id: int
    name: str


@dataclasses.dataclass
class WithNew:
    id: int
    name: str

    def __new__(cls, **kwargs):
        obj = super().__new__(cls)
        obj.seen = sorted(kwargs)
        return obj


@dataclasses.dataclass(init=False)
class BadInit:
    id: int

    def __init__(self, **kwargs):
        self.id = kwargs["id"]
        return 5  # noqa: the host rejects this


@dataclasses.dataclass
class Abstract(abc.ABC):
    id: int

    @abc.abstractmethod
    def f(self): ...


def outcome(fn):
    try:
        obj = fn()
    except Exception as e:  # noqa: compared below
        return ("error", type(e), str(e))
    return ("ok", type(obj), dataclasses.asdict(obj), getattr(obj, "seen", None))


@pytest.mark.parametrize(
    "cls, row",
    [
        (WithPostInit, {"id": 1, "name": "a"}),
        (WithPostInit, {"id": -1, "name": "a"}),
        (Slotted, {"id": 1}),
        (Slotted, {"id": 1, "name": "x"}),
        (ViaMeta, {"id": 1, "name": "a"}),
        (WithNew, {"id": 1, "name": "a"}),
        (BadInit, {"id": 1}),
        (Abstract, {"id": 1}),
        (DUser, {"id": 1}),
        (DUser, {1: "a", "id": 2}),
        (DUser, {"name": "a", "id": 1}),
    ],
    ids=lambda v: v.__name__ if isinstance(v, type) else str(v),
)
def test_conversion_matches_calling_the_class_with_the_row(cls, row):
    CountingMeta.made = 0
    ours = outcome(lambda: results_handle([dict(row)], cls, list)[0])
    made_by_us = CountingMeta.made
    assert ours == outcome(lambda: cls(**row))
    assert made_by_us == CountingMeta.made - made_by_us  # a metaclass __call__ runs on both roads alike


def test_rows_with_changing_columns_and_equal_but_distinct_keys():
    name2 = "".join(["na", "me"])  # equal to "name", another object
    data = [{"id": 1, "name": "a"}, {"name": "b", "id": 2}, {"id": 3, name2: "c"}, {"id": 4, "name": "d"}]
    assert [fields(u) for u in results_handle(data, DUser, list)] == [(1, "a"), (2, "b"), (3, "c"), (4, "d")]


@pytest.mark.parametrize(
    "make", [types.MappingProxyType, collections.OrderedDict, lambda d: collections.ChainMap(d)], ids=["proxy", "odict", "chainmap"]
)
def test_rows_may_be_other_mappings(make):
    data = [make(r) for r in rows()]
    assert [fields(u) for u in results_handle(data, DUser, list)] == [(1, "a"), (2, "b"), (3, "c")]
    assert results_handle(data, int, List[int]) == [1, 2, 3]
    assert fields(results_handle(data, PUser, PUser)) == (1, "a")


def test_rows_that_are_no_mappings_are_rejected():
    with pytest.raises(TypeError, match="must be a mapping"):
        results_handle([(1, "a")], DUser, list)


def test_results_may_be_any_sequence():
    data = tuple(rows())
    assert results_handle(data, dict, list) is data
    assert [fields(u) for u in results_handle(data, DUser, None)] == [(1, "a"), (2, "b"), (3, "c")]


def test_many_rows_keep_their_order_and_count():
    data = [{"id": i, "name": f"n{i}"} for i in range(2500)]
    got = results_handle(data, DUser, List[DUser])
    assert [fields(u) for u in got] == [(i, f"n{i}") for i in range(2500)]


# -- construction and argument checks --------------------------------------------------------


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "value, got",
    [(None, "NoneType"), ([], "list"), (collections.OrderedDict(), "collections.OrderedDict"), (DictSub(), "DictSub"),
     (types.MappingProxyType({}), "mappingproxy")],
    ids=["none", "list", "odict", "subclass", "proxy"],
)
def test_mapper_dict_must_be_exactly_a_dict(sqlite_engine, value, got):
    with pytest.raises(TypeError) as e:
        ZorvaneSqlSession(mapper_dict=value, data_source=sqlite_engine)
    assert str(e.value) == f"Argument 'mapper_dict' has incorrect type (expected dict, got {got})"


@pytest.mark.parametrize("kwargs", [{}, {"data_source": None}, {"data_source": None, "ostrane": None}])
def test_without_engine_or_template_it_cannot_init(kwargs):
    with pytest.raises(Exception) as e:
        ZorvaneSqlSession(mapper_dict={}, **kwargs)
    assert type(e.value) is Exception and str(e.value) == "ostrane can't init"


def test_fields_and_context_variables(sqlite_engine):
    mappers = {"A": object()}
    s = ZorvaneSqlSession(mapper_dict=mappers, data_source=sqlite_engine)
    assert s.mapper_dict is mappers and s.data_source is sqlite_engine
    assert type(s.ostrane) is SqlTemplate and s.ostrane.data_source is sqlite_engine
    assert (s.connection_local.name, s._tx_depth.name) == (f"connection_{id(s)}", f"tx_depth_{id(s)}")
    assert s.connection_local.get() is None and s._tx_depth.get() == 0
    other = ZorvaneSqlSession({}, sqlite_engine)
    assert other.connection_local is not s.connection_local and other._tx_depth is not s._tx_depth


def test_a_given_template_wins_over_the_engine_argument(sqlite_engine, tmp_path):
    import sqlalchemy as sa

    other = sa.create_engine(f"sqlite:///{tmp_path / 'other.sqlite'}")
    tpl = SqlTemplate(sqlite_engine)
    s = ZorvaneSqlSession(mapper_dict={}, data_source=other, ostrane=tpl)
    assert s.ostrane is tpl and s.data_source is sqlite_engine
    assert s.get_ori_session().get_bind() is sqlite_engine
    other.dispose()


def test_get_ori_session_gives_new_untracked_sessions(sqlite_engine):
    s = ZorvaneSqlSession(mapper_dict={}, data_source=sqlite_engine)
    a, b = s.get_ori_session(), s.get_ori_session()
    assert a is not b and a.get_bind() is sqlite_engine and a.expire_on_commit is False
    assert s._ZorvaneSqlSession__con() is None and s._tx_depth.get() == 0
    a.close(), b.close()


def test_changing_data_source_moves_new_sessions(sqlite_engine, tmp_path):
    import sqlalchemy as sa

    other = sa.create_engine(f"sqlite:///{tmp_path / 'other.sqlite'}")
    s = ZorvaneSqlSession(mapper_dict={}, data_source=sqlite_engine)
    assert s.get_ori_session().get_bind() is sqlite_engine
    s.data_source = other
    assert s.get_ori_session().get_bind() is other
    other.dispose()
