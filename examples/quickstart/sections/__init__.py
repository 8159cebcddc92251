"""Sections of the quickstart, run in file-name order."""
