"""Template functions that turn values into SQL string literals."""
