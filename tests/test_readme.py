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

pytestmark = pytest.mark.packaging

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


RECIPE_COMMANDS = """\
python{version} -m venv .venv
.venv/bin/pip wheel --no-deps -w wheels .
PYTHON=python{version} bash examples/{example}/build_and_run.sh wheels
"""
# The script that builds and runs each recipe in CI, and the Python its page
# names: raylib's recipe runs where raylib is, in Debian unstable.
RECIPE_CI = {"raylib_cmake": ("raylib.sh", "3.14")}


@pytest.mark.parametrize(
    "page", sorted((ROOT / "docs" / "recipes").glob("*.md")), ids=lambda page: page.name
)
def test_recipe_page_shows_the_commands_that_ci_runs(page):
    """A recipe page's commands build the wheel of the checkout and run the
    build_and_run.sh of the example whose files it shows, as CI's script
    (check_api.sh for most) does for that example."""
    text = page.read_text()
    included = r"^```\{literalinclude\} \.\./\.\./examples/(\w+)/build_and_run\.sh$"
    example = re.search(included, text, re.MULTILINE)[1]
    script, version = RECIPE_CI.get(example, ("check_api.sh", "3.13"))
    commands = re.findall(r"^```sh\n(.*?)^```$", text, re.MULTILINE | re.DOTALL)
    assert commands == [RECIPE_COMMANDS.format(version=version, example=example)]
    ci = (ROOT / "scripts" / script).read_text()
    assert '-m pip wheel --quiet --no-deps -w "$work/wheel" .\n' in ci
    assert re.search(
        rf"^(for example in .*\b{example}\b.*; do|example={example})$", ci, re.MULTILINE
    )
    assert 'bash "$work/$example/build_and_run.sh" "$work/wheel"' in ci
