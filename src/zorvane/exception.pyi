"""The library's exception for database errors."""

from typing import Any

class DBException(Exception):
    """Exception for database errors; `message` holds the constructor's argument unchanged."""

    message: Any
    def __init__(self, message: Any) -> None: ...
