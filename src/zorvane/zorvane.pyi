"""Top-level API: configuration, datasource scopes, statement decorators and the base mapper."""
