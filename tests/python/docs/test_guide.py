"""Every code example of the user guide (docs/*.md) runs, page by page, against SQLite.

A page's blocks run in order in one namespace, in a process of their own (the configuration is
process-wide) and in an empty directory: ```python blocks are executed, blocks with >>> prompts
are doctests, a block after `<!-- file: PATH -->` is written to PATH first, and a block after
`<!-- no-run: reason -->` is skipped (it needs a server or a shell).
"""
import doctest
import pathlib
import re
import subprocess
import sys

import pytest

DOCS = pathlib.Path(__file__).resolve().parents[3] / "docs"
BLOCK = re.compile(r"(?:<!-- (file|no-run): ?([^>]*?) ?-->\n)?```(\w+)\n(.*?)^```", re.S | re.M)
PAGES = sorted(p.name for p in DOCS.glob("*.md"))


def blocks(text):
    """(directive, argument, language, code) of each fenced block of a page."""
    return [m.groups() for m in BLOCK.finditer(text)]


def run_page(page):
    """Runs the examples of one page in the current directory; raises on the first failure."""
    ns = {"__name__": "__guide__"}
    for directive, arg, lang, code in blocks((DOCS / page).read_text()):
        if directive == "file":
            path = pathlib.Path(arg)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(code)
        elif directive == "no-run" or lang != "python":
            continue
        elif ">>>" in code:
            test = doctest.DocTestParser().get_doctest(code, ns, page, page, 0)
            runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
            runner.run(test, clear_globs=False)
            assert runner.failures == 0, f"{page}: {runner.failures} doctest failure(s)"
        else:
            exec(compile(code, page, "exec"), ns)


def test_guide_has_pages_with_examples():
    assert len(PAGES) >= 10
    assert sum(1 for p in PAGES for b in blocks((DOCS / p).read_text()) if b[2] == "python" and b[0] != "no-run") >= 20


@pytest.mark.parametrize("page", [pytest.param(p, marks=pytest.mark.greenlet) if p == "async.md" else p for p in PAGES])
def test_examples_run(page, tmp_path):
    r = subprocess.run([sys.executable, __file__, page], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr


if __name__ == "__main__":
    sys.path.insert(0, ".")  # models written by the page import from the working directory
    run_page(sys.argv[1])
