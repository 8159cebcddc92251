from collections.abc import Container as Container
from collections.abc import Iterable as Iterable
from typing import Any
from typing import List as List

from pydantic import BaseModel as BaseModel
from sqlalchemy.orm import DeclarativeBase as DeclarativeBase

def get_type_from_string(type_str: str) -> type: ...

def is_container_type_by_str(type_str: str) -> bool: ...

def is_container_type(type_obj: Any) -> bool: ...

def get_base_type(generic_type: Any) -> Any: ...

def is_result_class(data_type: Any) -> bool: ...
