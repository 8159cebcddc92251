from typing import Any

class DBException(Exception):
    """Exception for database errors; `message` holds the constructor's argument unchanged."""

    message: Any
    def __init__(self, message: Any) -> None: ...

class ZorvaneError(Exception):
    """Base class of the errors the library raises about its own use."""

class ParameterError(ZorvaneError):
    """A statement's placeholder or parameter does not fit the call; raised before any SQL runs."""
