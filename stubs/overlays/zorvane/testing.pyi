from typing import Any

from zorvane.db.ostrane import Statement as Statement

zorvane_statements: Any
"""Fixture: the statements the library runs during the test, in order, as Statement(id, sql, params, rows, datasource, operation, duration_ms, error)."""

zorvane_rollback: Any
"""Fixture: the statements of the test run in one outer transaction per datasource (and event loop), rolled back at its end; the test's own transactions and statements are savepoints inside it."""
