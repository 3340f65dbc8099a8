"""A failed import leaves the process able to import again.

A test build of the module believes it was compiled for Python 254.253, so its
execution warns that the versions differ.  With warnings turned into errors
(or a warning hook that raises) execution fails: the import raises that
error without a traceback entry of the module, sys.modules keeps no
half-made module, and a later import in the same process, with warnings
allowed, runs execution afresh, warns once and gives a working Color.  Each
scenario runs in a fresh interpreter.
"""

import os

import pytest

import vantel.color.color
from support import VERSION_WARNING, WORKING, run_scenario

pytestmark = pytest.mark.sweep

FAILED = ["RuntimeWarning", VERSION_WARNING, []]
ONE_WARNING = [["RuntimeWarning", VERSION_WARNING]]


# The installed build was made for the running interpreter, whichever it is,
# and so imports without a warning.  The warning is attributed to the Python
# code that runs the execution (the import machinery's line that calls it).
@pytest.mark.parametrize("build", ["pretend", "installed"])
def test_only_a_build_for_another_version_warns_and_either_works(request, build):
    pretend = request.getfixturevalue("pretend") if build == "pretend" else None
    outcome = run_scenario("pretend_build_warns", site=pretend[0] if pretend else None)
    expected_file = str(pretend[1]) if pretend else vantel.color.color.__file__
    where = outcome.pop("exec_called_at")
    expected_warnings = [[*ONE_WARNING[0], *where]] if pretend else []
    assert outcome == {"file": expected_file, "warnings": expected_warnings, "works": WORKING}


# How the version warning is made to fail the execution, and the failure.
FAILURE_SET_UPS = {
    "filter-in-code": (None, FAILED),
    "command-line-filter": ({"PYTHONWARNINGS": "error::RuntimeWarning"}, FAILED),
    "raising-warning-hook": (None, ["LookupError", "no warnings here", []]),
}


@pytest.mark.parametrize("name", FAILURE_SET_UPS)
def test_import_after_a_failed_execution(pretend, name):
    extra_env, failure = FAILURE_SET_UPS[name]
    outcome = run_scenario(
        "retry_after_failed_exec",
        pretend[1],
        name,
        site=pretend[0],
        env={**os.environ, **(extra_env or {})},
    )
    assert outcome["first"] == failure
    # The import system dropped the module it had made; the package whose
    # __init__ imports it failed with it.
    assert outcome["state"] == {"leftovers": [], "registered": False, "package": False}
    # The retried import executes the module afresh: it warns once more; the
    # imports after it hand back the module held and do not warn.
    assert outcome["warnings"] == [ONE_WARNING, [], []]
    assert outcome["same"] == [True, True, True]
    assert outcome["works"] == WORKING
    assert outcome["file"] == str(pretend[1])


def test_repeated_failures_then_success(pretend):
    outcome = run_scenario("repeated_failed_execs", site=pretend[0])
    assert outcome == {"failures": [FAILED] * 5, "warnings": ONE_WARNING, "works": WORKING}


def test_failed_execution_then_import_under_another_name(pretend):
    """After a failed exec the module can be loaded as a top-level module; it
    then also registers itself under its full name."""
    outcome = run_scenario("failed_exec_then_other_name", pretend[1], site=pretend[0])
    assert outcome == {
        "first": FAILED,
        "name": "color",
        "registered": True,
        "warnings": ONE_WARNING,
        "works": WORKING,
    }


def test_consumer_imports_after_a_failed_execution(pretend, consumer_path):
    """Another compiled module fetches the method table from a Color whose
    first execution failed."""
    outcome = run_scenario("consumer_after_failed_exec", consumer_path, site=pretend[0])
    assert outcome == {
        "first": FAILED,
        "file": str(pretend[1]),
        "type": True,
        "channels": [0, 255, 128, 255],
        "shared": True,
    }
