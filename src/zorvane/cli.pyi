"""The zorvane command: `zorvane lint PATH...` and `zorvane render PATH NAMESPACE.ID`."""

from collections.abc import Sequence

def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (sys.argv[1:] when None) and returns its exit status."""
