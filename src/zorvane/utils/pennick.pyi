"""Type utilities: type names from text, container types and result classes."""

from collections.abc import Container as Container
from collections.abc import Iterable as Iterable
from typing import Any
from typing import List as List

from pydantic import BaseModel as BaseModel
from sqlalchemy.orm import DeclarativeBase as DeclarativeBase

def get_type_from_string(type_str: str) -> type:
    """The class named by `type_str`: a builtin, a name of this module, or a dotted module path."""

def is_container_type_by_str(type_str: str) -> bool:
    """Whether `type_str` names list, tuple, dict, set or a subclass of one of them."""

def is_container_type(type_obj: Any) -> bool:
    """Whether the class or the origin of the generic alias derives from list, tuple, dict or set."""

def get_base_type(generic_type: Any) -> Any:
    """The origin of a generic alias (list for list[int]), else the value itself."""

def is_result_class(data_type: Any) -> bool:
    """Whether rows convert into `data_type`: a pydantic model, a dataclass or a declarative model."""
