"""`python -m zorvane`: the zorvane command (zorvane.cli)."""
import sys
from zorvane.cli import main

sys.exit(main())
