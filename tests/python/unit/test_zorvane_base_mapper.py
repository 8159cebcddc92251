"""BaseMapper without table data: model resolution, argument checks, conversion and interception rules."""
import collections
import inspect
import re
import typing

import pydantic
import pytest
import sqlalchemy as sa
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from zorvane.zorvane import BaseMapper, DBConfig, ZorvaneConfig


class Base(DeclarativeBase):
    pass


class Item(Base):
    __tablename__ = "item"
    id: Mapped[int] = mapped_column(primary_key=True)
    title: Mapped[str]


class Code(Base):
    __tablename__ = "code"
    code: Mapped[str] = mapped_column(primary_key=True, autoincrement=False)
    title: Mapped[str]


class ItemIn(pydantic.BaseModel):
    id: int | None = None
    title: str


class ItemMapper(BaseMapper[Item]):
    label = "items"

    def helper(self, x):
        """Doubles x."""
        return 2 * x


class SubMapper(ItemMapper):
    pass


class CodeMapper(BaseMapper[Code]):
    pass


class Bare(BaseMapper):
    pass


@pytest.fixture
def configured(fresh_config, tmp_path):
    ZorvaneConfig(DBConfig(only={"db_type": "sqlite", "sqlite_path": str(tmp_path / "u.db")}))


def test_type_argument_is_visible_and_resolved_once():
    (base,) = ItemMapper.__orig_bases__
    assert typing.get_origin(base) is BaseMapper and typing.get_args(base) == (Item,)
    assert SubMapper._BaseMapper__type_parameter() is Item and SubMapper in BaseMapper._type_cache
    assert CodeMapper._BaseMapper__type_parameter() is Code
    BaseMapper._type_cache[CodeMapper] = Item  # a cached answer is not looked up again
    try:
        assert CodeMapper._BaseMapper__type_parameter() is Item
    finally:
        BaseMapper._type_cache[CodeMapper] = Code
    for cls in (Bare, BaseMapper):
        with pytest.raises(TypeError, match="^Generic type not found$"):
            cls._BaseMapper__type_parameter()


def test_auto_pk_exclude_pk_and_convert_data():
    assert ItemMapper._get_auto_pk(Item) == "id" and ItemMapper._get_auto_pk(Code) is None
    given = {"id": 3, "title": "t"}
    assert BaseMapper._BaseMapper__exclude_pk("id", given) is given and given == {"title": "t"}
    assert BaseMapper._BaseMapper__exclude_pk(None, {"id": 1}) == {"id": 1}
    m = ItemMapper()
    own = {"id": 5, "title": "x"}
    assert m._convert_data(own, Item) == {"title": "x"} and own == {"id": 5, "title": "x"}
    assert m._convert_data(own, Item, exclude_pk=False) == own
    assert m._convert_data(ItemIn(id=1, title="p"), Item) == {"title": "p"}
    assert m._convert_data(Code(code="c", title="t"), Code) == {"code": "c", "title": "t"}
    with pytest.raises(TypeError, match=r"^Data type <class 'tuple'> is not supported$"):
        m._convert_data((1, "t"), Item)


Ordered = collections.OrderedDict


class Unsigned:
    __signature__ = "not a signature"

    def __call__(self):
        return "called"


class Text(str):
    pass


@pytest.mark.parametrize("call, arg, expected, got", [
    (lambda m: m.add_all((Item(),)), "data", "list", "tuple"),
    (lambda m: m.save_batch(None), "data", "list", "NoneType"),
    (lambda m: m.delete_by_id(True), "id", "int", "bool"),
    (lambda m: m.update(sa.update(Item), []), "data", "dict", "list"),
    (lambda m: m.update_by_id(Ordered(id=1)), "data", "dict", "collections.OrderedDict"),
    (lambda m: m.bulk_update_mappings(None, ({"id": 1},)), "data_list", "list", "tuple"),
    (lambda m: m.select_all_by_sql("select 1", [1]), "sql_param", "dict", "list"),
    (lambda m: m.select_page_by_sql(Text("select 1")), "sql_str", "str", "Text"),
    (lambda m: m.insert(Ordered(title="t")), "data_dict", "dict", "collections.OrderedDict"),
    (lambda m: BaseMapper._BaseMapper__exclude_pk("id", [1]), "data_dict", "dict", "list"),
    (lambda m: ItemMapper.db_session(1), "datasource_name", "str", "int"),
    (lambda m: ItemMapper.switch_datasource(None), "datasource_name", "str", "NoneType"),
])
def test_argument_checks(configured, call, arg, expected, got):
    msg = f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"
    with pytest.raises(TypeError, match=f"^{re.escape(msg)}$"):
        call(ItemMapper())


def test_calls_fail_before_configuration_and_on_unknown_datasource(fresh_config):
    m = ItemMapper()
    with pytest.raises(TypeError, match="not subscriptable"):
        m.helper(1)
    BaseMapper.datasource, BaseMapper.default_key = {}, "gone"
    with pytest.raises(KeyError, match="gone"):
        m.helper(1)
    with pytest.raises(KeyError, match="gone"):
        m.session


def test_interception_rules(configured):
    m = ItemMapper()
    assert m.label == "items" and m.session is ZorvaneConfig.datasource["only"]["kelvor"]
    assert m._convert_data is not m._convert_data and m._BaseMapper__type_parameter is not m._BaseMapper__type_parameter
    wrapper = m.helper
    assert wrapper is m.helper and wrapper is not ItemMapper().helper
    assert (wrapper.__name__, wrapper.__doc__, str(inspect.signature(wrapper))) == ("helper", "Doubles x.", "(x)")
    assert str(inspect.signature(m.update_by_id)) == "(data, selective=False)"
    assert wrapper(4) == 8 and m.helper(x=5) == 10
    assert set(m._wrapper_cache) == {"helper", "update_by_id"}
    assert BaseMapper._sig_cache[(ItemMapper, "helper")] == inspect.signature(ItemMapper().helper)
    m.label = len  # a callable data attribute is wrapped like a method
    assert m.label("abc") == 3 and m.label is m.label
    m.odd = Unsigned()  # no signature to bind by: handed out as it is
    assert m.odd is m.__dict__["odd"] and m.odd() == "called"
    with pytest.raises(AttributeError, match="id"):
        CodeMapper().delete_by_id(1)  # the model has no attribute id
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got int\)$"):
        BaseMapper.__getattribute__(m, 5)
    with pytest.raises(TypeError, match=r"^update_by_id\(\) missing 1 required positional argument: 'data'$"):
        m.update_by_id()
    with pytest.raises(TypeError, match=r"^select_all\(\) got an unexpected keyword argument 'stmt'$"):
        m.select_all(stmt=None)


def test_subclasses_keep_their_own_attribute_handling(configured):
    class Custom(ItemMapper):
        def __init__(self):
            self.count = 0

        def __getattr__(self, name):
            return f"missing {name}"

        def bump(self):
            self.count += 1
            return self.count

    c = Custom()
    assert (c.bump(), c.bump(), c.count, c.nothing_here) == (1, 2, 2, "missing nothing_here")
    assert c.helper(1) == 2 and Custom._BaseMapper__type_parameter() is Item
