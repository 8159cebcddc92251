"""Read LeakSanitizer logs of a sanitized pytest run; fail on leaks that pass through our code.

The interpreter and third-party extensions keep memory until exit on purpose, so their
reports are counted but not fatal; any leak with a frame in a zorvane module or in the
core's sources is printed whole and fails the run.
"""
import pathlib
import re
import sys

OURS = re.compile(r"/zorvane/[^ )]*\.so|/src/(core|bindings)/|/tests/fuzz/")
LEAK = re.compile(r"^(Direct|Indirect) leak of ", re.M)


def main(log_dir: str) -> int:
    ours, others = [], 0
    for log in sorted(pathlib.Path(log_dir).glob("asan.*")):
        text = log.read_text(errors="replace")
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            print(text)
            return 1
        starts = [m.start() for m in LEAK.finditer(text)] + [len(text)]
        for begin, end in zip(starts, starts[1:]):
            block = text[begin:end].split("\n\n")[0]
            if OURS.search(block):
                ours.append(block)
            else:
                others += 1
    for block in ours:
        print(block, end="\n\n")
    print(f"leak reports: {len(ours)} through zorvane code, {others} in the interpreter or third-party modules")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
