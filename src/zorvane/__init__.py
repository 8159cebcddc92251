"""zorvane: SQL mapper for SQLAlchemy 2. The API lives in the extension modules (zorvane.zorvane, ...)."""
