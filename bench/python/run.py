"""Runs every bench_*.py here (or the one named by the first argument)."""
import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
names = sys.argv[1:] or [p.stem.removeprefix("bench_") for p in sorted(here.glob("bench_*.py"))]
for name in names:
    runpy.run_path(str(here / f"bench_{name}.py"), run_name="__main__")
