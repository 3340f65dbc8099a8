"""A failed import leaves the process able to import again.

A test build of the module believes it was compiled for Python 3.12, so its
execution warns that the versions differ.  With warnings turned into errors
(or a warning hook that raises) execution fails: the import raises that
error without a traceback entry of the module, sys.modules keeps no
half-made module, and a later import in the same process, with warnings
allowed, runs execution afresh, warns once and gives a working Color.  Each
scenario runs in a fresh interpreter.

The test build is compiled from the source tree with the C++ compiler; set
VANTEL_SKIP_SLOW_BUILDS=1 to skip these tests.
"""

import json
import os

import pytest
import vantel.color.color

from support import REFUSAL, VERSION_WARNING, run_python

TESTS = os.path.dirname(os.path.abspath(__file__))


def run_with_pretend_build(pretend, code, extra_env=None):
    """Runs `code` in a fresh interpreter that imports the pretend build (the
    installed one if `pretend` is None); the script prints one JSON document."""
    path_entries = [TESTS] if pretend is None else [str(pretend[0]), TESTS]
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(path_entries)
    environment.update(extra_env or {})
    result = run_python(PRELUDE + code, env=environment)
    return json.loads(result.stdout)


PRELUDE = """
import importlib
import json
import sys
import warnings

from support import module_entries


def failed_import():
    try:
        import vantel.color.color
    except BaseException as exc:
        return [type(exc).__name__, str(exc), module_entries(exc)]
    return "imported"


def leftovers(path):
    # Entries of sys.modules that hold a module object made from the file.
    return sorted(key for key, module in sys.modules.items()
                  if getattr(module, "__file__", None) == path)


def import_recording_warnings():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import vantel.color.color as module
    return module, [[w.category.__name__, str(w.message)] for w in caught]


def works(module):
    colour = module.Color(300, -4, 10)
    colour.g = 77
    try:
        import pickle
        pickle.dumps(colour)
    except TypeError as exc:
        refusal = str(exc)
    return {"list": list(colour), "repr": repr(colour), "refusal": refusal,
            "vtable": type(module.Color.__dict__["__pyx_vtable__"]).__name__,
            "test": module.__test__}
"""

FAILED = ["RuntimeWarning", VERSION_WARNING, []]
WORKING = {
    "list": [255, 77, 10, 255],
    "repr": "Color(255, 77, 10, 255)",
    "refusal": REFUSAL,
    "vtable": "PyCapsule",
    "test": {},
}
ONE_WARNING = [["RuntimeWarning", VERSION_WARNING]]


# The installed build was made for the running interpreter, whichever it is,
# and so imports without a warning.
@pytest.mark.parametrize("build, expected_warnings", [("pretend", ONE_WARNING), ("installed", [])])
def test_only_a_build_for_another_version_warns_and_either_works(request, build, expected_warnings):
    pretend = request.getfixturevalue("pretend") if build == "pretend" else None
    outcome = run_with_pretend_build(
        pretend,
        """
module, caught = import_recording_warnings()
print(json.dumps({"file": module.__file__, "warnings": caught, "works": works(module)}))
""",
    )
    expected_file = str(pretend[1]) if pretend else vantel.color.color.__file__
    assert outcome == {"file": expected_file, "warnings": expected_warnings, "works": WORKING}


RETRY_AFTER_FAILURE = """
first = failed_import()
state = {
    "leftovers": leftovers(MODULE_PATH),
    "registered": "vantel.color.color" in sys.modules,
    "package": "vantel.color" in sys.modules,
}
%(restore)s
module, caught = import_recording_warnings()
again, caught_again = import_recording_warnings()
del sys.modules["vantel.color.color"]
third, caught_third = import_recording_warnings()
print(json.dumps({
    "first": first,
    "state": state,
    "warnings": [caught, caught_again, caught_third],
    "same": [again is module, third is module, module.Color is third.Color],
    "works": works(module),
    "file": module.__file__,
}))
"""

FAILURE_SET_UPS = {
    "filter-in-code": (
        'warnings.simplefilter("error", RuntimeWarning)',
        "warnings.resetwarnings()",
        None,
        FAILED,
    ),
    "command-line-filter": (
        "",
        "warnings.resetwarnings()",
        {"PYTHONWARNINGS": "error::RuntimeWarning"},
        FAILED,
    ),
    "raising-warning-hook": (
        "def refuse(*args, **kwargs):\n"
        "    raise LookupError('no warnings here')\n"
        "warnings.simplefilter('always')\n"
        "warnings.showwarning = refuse",
        "warnings.showwarning = original_showwarning",
        None,
        ["LookupError", "no warnings here", []],
    ),
}


@pytest.mark.parametrize("name", FAILURE_SET_UPS)
def test_import_after_a_failed_execution(pretend, name):
    set_up, restore, extra_env, failure = FAILURE_SET_UPS[name]
    code = (
        f"MODULE_PATH = {str(pretend[1])!r}\n"
        "original_showwarning = warnings.showwarning\n"
        + set_up
        + "\n"
        + RETRY_AFTER_FAILURE % {"restore": restore}
    )
    outcome = run_with_pretend_build(pretend, code, extra_env)
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
    outcome = run_with_pretend_build(
        pretend,
        """
warnings.simplefilter("error", RuntimeWarning)
failures = [failed_import() for _ in range(5)]
warnings.resetwarnings()
module, caught = import_recording_warnings()
print(json.dumps({"failures": failures, "warnings": caught, "works": works(module)}))
""",
    )
    assert outcome == {"failures": [FAILED] * 5, "warnings": ONE_WARNING, "works": WORKING}


def test_failed_execution_then_import_under_another_name(pretend):
    """After a failed exec the module can be loaded as a top-level module; it
    then also registers itself under its full name."""
    outcome = run_with_pretend_build(
        pretend,
        f"""
import importlib.util
warnings.simplefilter("error", RuntimeWarning)
first = failed_import()
warnings.resetwarnings()
spec = importlib.util.spec_from_file_location("color", {str(pretend[1])!r})
module = importlib.util.module_from_spec(spec)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    spec.loader.exec_module(module)
print(json.dumps({{
    "first": first,
    "name": module.__name__,
    "registered": sys.modules.get("vantel.color.color") is module,
    "warnings": [[w.category.__name__, str(w.message)] for w in caught],
    "works": works(module),
}}))
""",
    )
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
    outcome = run_with_pretend_build(
        pretend,
        f"""
import importlib.util
warnings.simplefilter("error", RuntimeWarning)
first = failed_import()
warnings.resetwarnings()
warnings.simplefilter("ignore", RuntimeWarning)
spec = importlib.util.spec_from_file_location("_color_consumer", {str(consumer_path)!r})
consumer = importlib.util.module_from_spec(spec)
spec.loader.exec_module(consumer)
import vantel.color.color as module
colour = consumer.new(-5, 300, 128, 255)
print(json.dumps({{
    "first": first,
    "file": module.__file__,
    "type": type(colour) is module.Color,
    "channels": list(colour),
    "shared": consumer.method_table_is_shared(module.Color(1, 2, 3)),
}}))
""",
    )
    assert outcome == {
        "first": FAILED,
        "file": str(pretend[1]),
        "type": True,
        "channels": [0, 255, 128, 255],
        "shared": True,
    }

