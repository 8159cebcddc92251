"""Runs every bench_*.py here (or the ones named as arguments), each in a fresh interpreter:
the configuration is process-wide, so benchmarks must not share a process."""
import pathlib
import subprocess
import sys

here = pathlib.Path(__file__).parent
names = sys.argv[1:] or [p.stem.removeprefix("bench_") for p in sorted(here.glob("bench_*.py"))]
failed = [n for n in names if subprocess.run([sys.executable, str(here / f"bench_{n}.py")], cwd=here).returncode]
sys.exit(f"failed: {', '.join(failed)}" if failed else 0)
