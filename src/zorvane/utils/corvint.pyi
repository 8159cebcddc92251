"""CDATA handling and SQL literal formatting."""

def replace_cdata(raw_text: str) -> str:
    """`raw_text` with every copy of its first CDATA section replaced by the section's escaped content."""

def convert_cdata(string: str, reverse: object = False) -> str:
    """Escapes &, <, > and " when `reverse` is true, else unescapes &amp;, &lt;, &gt; and &quot; in that order."""

def sql_string_format(sql_str_value: str, *, db_type: str | None = None) -> str:
    """`sql_str_value` as one SQL string literal: quotes added where missing, inner single quotes doubled.

    `db_type` names the server the text is for: None, "postgresql" or "sqlite" (standard strings), or
    "mysql" or "mariadb", where backslashes are doubled too so that the server stores the text as given;
    any other name raises ValueError. Bound #{} parameters are the safe way to pass values; this is for
    code that builds SQL text itself.
    """

def param_str(param_value: object, *, db_type: str | None = None) -> str:
    """SQL literal text of a value: 'null' when falsy, a quoted literal for text, else str(value).

    `db_type` names the server the text is for: None, "postgresql" or "sqlite" (standard strings), or
    "mysql" or "mariadb", where backslashes are doubled too so that the server stores the text as given;
    any other name raises ValueError. Bound #{} parameters are the safe way to pass values; this is for
    code that builds SQL text itself.
    """
