"""Keyword replacement at the start or end of a SQL text."""
