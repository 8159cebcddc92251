"""Count rewriting written plainly on the host's regex engine: the oracle of the differential tests."""
import re

SELECT_FROM = re.compile(r"^\s*SELECT\s+(.*?)\s+FROM\s+", re.IGNORECASE | re.DOTALL)
GROUPING = re.compile(r"\b(distinct|group\s+by|having|union)\b", re.IGNORECASE)


def count_text(sql: str) -> str:
    text = sql.strip().rstrip(";")
    m = SELECT_FROM.search(text)
    if m is None or GROUPING.search(text) or "(" in m.group(1) or ")" in m.group(1):
        return "select count(*) from ( " + text + " ) temp"
    return "SELECT COUNT(*) as count FROM " + text[m.end() :]
