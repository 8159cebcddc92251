"""CDATA handling and SQL literal formatting."""
