"""Type utilities: type names from text, container types and result classes."""
