"""Judge a sanitized pytest run: its JUnit results and the sanitizer logs it left.

Fails when pytest did not finish with every test passed, on any AddressSanitizer or
UndefinedBehaviorSanitizer error, and on any leak with a frame in a zorvane module or in
the core's sources. The interpreter and third-party extensions keep memory until exit on
purpose; their leak reports are counted, not fatal.
"""
import pathlib
import re
import sys
import xml.etree.ElementTree as ET

OURS = re.compile(r"/zorvane/[^ )]*\.so|/src/(core|bindings)/|/tests/fuzz/")
LEAK = re.compile(r"^(Direct|Indirect) leak of ", re.M)
ERRORS = ("ERROR: AddressSanitizer", "CHECK failed", "runtime error:", "ERROR: UndefinedBehaviorSanitizer")


def main(log_dir: str, junit: str) -> int:
    try:
        suite = ET.parse(junit).getroot().find("testsuite")
    except (OSError, ET.ParseError):
        print(f"{junit}: missing or cut short, pytest did not finish")
        return 1
    tests, bad = int(suite.get("tests")), int(suite.get("failures")) + int(suite.get("errors"))
    print(f"pytest: {tests} tests, {bad} failed or errored")
    ours, others = [], 0
    for log in sorted(pathlib.Path(log_dir).glob("asan.*")):
        text = log.read_text(errors="replace")
        if any(e in text for e in ERRORS):
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
    return 1 if ours or bad or not tests else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
