from typing import Any

class DBException(Exception):
    """Exception for database errors; `message` holds the constructor's argument unchanged."""

    message: Any
    def __init__(self, message: Any) -> None: ...

class ZorvaneError(Exception):
    """Base class of the errors the library raises about its own use."""

class ParameterError(ZorvaneError):
    """A statement's placeholder or parameter does not fit the call; raised before any SQL runs."""

class StatementNotFoundError(ZorvaneError):
    """No statement of the id asked for: a mapper file has none, or a mapper method with an empty body finds none for its name on the current datasource."""

class ConfigError(ZorvaneError):
    """A datasource declaration or configuration the library cannot use; raised before any connection is made."""

class ConfigKeyError(ConfigError, KeyError):
    """A ConfigError for a key a declaration lacks; also a KeyError."""

class TransactionRolledBackError(ZorvaneError):
    """A statement or the end of a scope met a transaction that was rolled back earlier in it; the failure that
    rolled it back is the __cause__."""
