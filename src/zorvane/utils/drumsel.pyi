"""Placeholder scanner: the #{...}, ${...} and $f{...} placeholders of SQL text."""
