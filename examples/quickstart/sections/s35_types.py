"""Result-type names from text, containers and result classes"""
from typing import Any
from zorvane.db.ostrane import PageInfo
from zorvane.utils.pennick import get_base_type, get_type_from_string, is_container_type, is_container_type_by_str, is_result_class


def show(label: str, value: object) -> None:
    print(f"{label:<44} -> {value!r}")


def run(ctx: dict[str, Any]) -> None:
    show('get_type_from_string("dict")', get_type_from_string("dict"))
    show('get_type_from_string("decimal.Decimal")', get_type_from_string("decimal.Decimal"))
    show('is_container_type_by_str("list")', is_container_type_by_str("list"))
    show("is_container_type(list[int])", is_container_type(list[int]))
    show("get_base_type(dict[str, int])", get_base_type(dict[str, int]))
    show("is_result_class(PageInfo) (a dataclass)", is_result_class(PageInfo))
    show("is_result_class(dict)", is_result_class(dict))
    try:
        get_type_from_string("no_such_module.Thing")
    except ValueError as e:
        show("unknown module", str(e))
