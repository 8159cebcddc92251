"""Keyword replacement at the start or end of a SQL text."""

def replace_sql_first(string: str, prefix_overrides: str, replace: str) -> str:
    """Strips `string` and replaces a leading match of `prefix_overrides` (a pattern fragment, any case) by `replace`."""

def replace_sql_last(string: str, suffix_overrides: str, replace: str) -> str:
    """Strips `string` and replaces a trailing match of `suffix_overrides` (any case), with a trailing -- comment, by `replace`."""
