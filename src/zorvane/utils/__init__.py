"""Type and SQL text utilities (drumsel, pennick, corvint, malvey, tibbet)."""
