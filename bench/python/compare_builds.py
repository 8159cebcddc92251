"""Runs one benchmark script with two builds' interpreters in turn, several rounds, and prints the median of
each timed line per build: `python compare_builds.py BASE_PYTHON HEAD_PYTHON NAME [ROUNDS]`, for example a
worktree of an older commit with its own .venv against this one. The script is this tree's
bench_<NAME>.py for both builds, so both run the same work."""
import re
import statistics
import subprocess
import sys
from pathlib import Path

here = Path(__file__).parent
base, head, name = sys.argv[1:4]
rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 5
LINE = re.compile(r"^\s+(.+?)\s+([\d.]+) us vs\s+([\d.]+) us\s+ratio\s+([\d.]+)x")
seen = {"base": {}, "head": {}}  # side -> (section, label) -> [(ours us, by-hand us, ratio)]
for r in range(rounds):
    for side, python in (("base", base), ("head", head)) if r % 2 == 0 else (("head", head), ("base", base)):
        out = subprocess.run([python, str(here / f"bench_{name}.py")], cwd=here, capture_output=True, text=True, check=True)
        section = ""
        for line in out.stdout.splitlines():
            if line.startswith("== "):
                section = line[3:].split(":")[0]
            elif m := LINE.match(line):
                seen[side].setdefault((section, m[1]), []).append(tuple(float(m[i]) for i in (2, 3, 4)))
    print(f"round {r + 1} of {rounds} done", file=sys.stderr)
print(f"medians of {rounds} interleaved runs per build (us; ratio to hand-written code in the same run)")
print(f"{'case':<70} {'base':>9} {'head':>9} {'change':>7} {'base x':>7} {'head x':>7}")
for key, runs in seen["base"].items():
    other = seen["head"].get(key)
    if not other:
        continue
    b, h = statistics.median(x[0] for x in runs), statistics.median(x[0] for x in other)
    rb, rh = statistics.median(x[2] for x in runs), statistics.median(x[2] for x in other)
    print(f"{(key[0] + ': ' + key[1])[:70]:<70} {b:9.1f} {h:9.1f} {(h / b - 1) * 100:+6.1f}% {rb:6.2f}x {rh:6.2f}x")
