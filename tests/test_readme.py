"""Every Python block of README.md and of the manual in docs/ runs as it
stands, so that the examples cannot drift from the module.  A block written
as an interactive session (`>>>`) is run by doctest, which compares every
result and exception with the one shown; any other block is run as a script.
Each block gets a fresh namespace: it must import what it uses.  (The rest of
the manual's code is included from files that CI builds and runs.)
"""

import doctest
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [
    ROOT / "README.md",
    *sorted(path for path in (ROOT / "docs").rglob("*.md") if "_build" not in path.parts),
]
FENCED_PYTHON = re.compile(r"^```(?:python|py|pycon)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def python_blocks():
    """(document, line of the block's first line of code, its source) for each block."""
    for document in DOCUMENTS:
        text = document.read_text()
        for match in FENCED_PYTHON.finditer(text):
            yield document, text.count("\n", 0, match.start(1)) + 1, match.group(1)


@pytest.mark.parametrize(
    ("document", "line", "source"),
    [
        pytest.param(*block, id=f"{block[0].relative_to(ROOT)}:{block[1]}")
        for block in python_blocks()
    ],
)
def test_documented_python_block_runs(document, line, source):
    name = f"{document.relative_to(ROOT)}, block at line {line}"
    if source.lstrip().startswith(">>>"):
        session = doctest.DocTestParser().get_doctest(source, {}, name, str(document), line - 1)
        report = []
        runner = doctest.DocTestRunner(verbose=False)
        runner.run(session, out=report.append)
        assert runner.failures == 0, "".join(report)
    else:
        exec(compile(source, name, "exec"), {"__name__": "__readme__"})
