from typing import Any

from zorvane.db.ostrane import Statement as Statement

zorvane_statements: Any
"""Fixture: the statements the library runs during the test, in order, as Statement(id, sql, params, rows, datasource, operation, duration_ms, error)."""
