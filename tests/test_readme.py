"""Every Python block of README.md runs as it stands, so that the examples
cannot drift from the module.  A block written as an interactive session
(`>>>`) is run by doctest, which compares every result and exception with
the one shown; any other block is run as a script.  Each block gets a fresh
namespace: it must import what it uses.
"""

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FENCED_PYTHON = re.compile(r"^```(?:python|py|pycon)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def python_blocks():
    """(line of the block's first line of code, its source) for each block."""
    text = README.read_text()
    for match in FENCED_PYTHON.finditer(text):
        yield text.count("\n", 0, match.start(1)) + 1, match.group(1)


@pytest.mark.parametrize(
    ("line", "source"), [pytest.param(*block, id=f"line-{block[0]}") for block in python_blocks()]
)
def test_readme_python_block_runs(line, source):
    name = f"README.md, block at line {line}"
    if source.lstrip().startswith(">>>"):
        session = doctest.DocTestParser().get_doctest(source, {}, name, str(README), line - 1)
        report = []
        runner = doctest.DocTestRunner(verbose=False)
        runner.run(session, out=report.append)
        assert runner.failures == 0, "".join(report)
    else:
        exec(compile(source, name, "exec"), {"__name__": "__readme__"})
