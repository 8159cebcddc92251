"""Slow pure-Python oracles that the compiled modules are compared with."""
