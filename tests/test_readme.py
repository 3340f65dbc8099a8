"""Every Python block of README.md and of the manual in docs/ runs as it
stands, so that the examples cannot drift from the module.  Sybil finds the
blocks: one written as an interactive session (`>>>`) is run by doctest,
which compares every result and exception with the one shown; any other
block is run as a script.  The blocks of one document share a namespace, in
order, as a reader would type them.  (The rest of the manual's code is
included from files that CI builds and runs.)
"""

import re
from pathlib import Path

import pytest
from sybil import Sybil
from sybil.evaluators.python import PythonEvaluator
from sybil.parsers.markdown import CodeBlockParser, PythonCodeBlockParser

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parent.parent


def python_block_parser(fence):
    """Sybil's parser of Python blocks, for those whose fence says `fence`
    (Sybil's own reads ```python fences alone)."""
    parser = PythonCodeBlockParser()
    parser.codeblock_parser = CodeBlockParser(fence, PythonEvaluator())
    return parser


SYBIL = Sybil(parsers=[python_block_parser(fence) for fence in ("python", "py", "pycon")])
DOCUMENTS = [
    SYBIL.parse(path)
    for path in [
        ROOT / "README.md",
        *sorted(path for path in (ROOT / "docs").rglob("*.md") if "_build" not in path.parts),
    ]
]


@pytest.mark.parametrize(
    "document",
    [document for document in DOCUMENTS if document.regions],
    ids=lambda document: str(Path(document.path).relative_to(ROOT)),
)
def test_documented_python_runs(document):
    for example in document:
        example.evaluate()


RECIPE_COMMANDS = """\
python{version} -m venv .venv
.venv/bin/pip wheel --no-deps -w wheels .
PYTHON=python{version} bash examples/{example}/build_and_run.sh wheels
"""
# The Python that a recipe page names, as CI runs it: raylib's recipe runs
# where raylib is, in Debian unstable.
RECIPE_PYTHON = {"raylib_cmake": "3.14"}


@pytest.mark.parametrize(
    "page", sorted((ROOT / "docs" / "recipes").glob("*.md")), ids=lambda page: page.name
)
def test_recipe_page_shows_the_commands_that_ci_runs(page):
    """A recipe page's commands build the wheel of the checkout and run the
    build_and_run.sh of the example whose files it shows.  CI's scripts take
    the examples to run from the last of these commands (check_api.sh) or
    run raylib's (raylib.sh), with a wheel built as the second does."""
    text = page.read_text()
    included = r"^```\{literalinclude\} \.\./\.\./examples/(\w+)/build_and_run\.sh$"
    example = re.search(included, text, re.MULTILINE)[1]
    version = RECIPE_PYTHON.get(example, "3.13")
    commands = re.findall(r"^```sh\n(.*?)^```$", text, re.MULTILINE | re.DOTALL)
    assert commands == [RECIPE_COMMANDS.format(version=version, example=example)]
