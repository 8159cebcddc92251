"""Mapper XML parser (zorvane.mapper.vantrel)."""
