"""A module execution that fails part-way: the exception and traceback entry
of each step, the clean-up of the module reference and of the registration
under "vantel.color.color", and a second import in the same process that
starts afresh and gives a fully working Color.

The failures come from a test build of the module (compile definition
VANTEL_COLOR_TEST_HOOKS), in which the environment variable
VANTEL_COLOR_FAIL_EXEC_STEP=N makes exec step N raise RuntimeError. The build
(the fixture `hook_site`) is made once per session into a temporary directory
and loaded in fresh interpreters through PYTHONPATH. Set
VANTEL_SKIP_SLOW_BUILDS=1 to skip it.
"""

import json
import os
from pathlib import Path

import pytest

from support import EXEC_ENTRY, EXEC_REDUCE_ENTRY, EXEC_SETSTATE_ENTRY, run_python

TESTS = Path(__file__).resolve().parent
FAIL_STEP = "VANTEL_COLOR_FAIL_EXEC_STEP"


def run_with_hooks(site, code, *args, fail_step=None):
    """Runs `code` in a fresh interpreter that imports vantel from `site`."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(site), str(TESTS)]))
    env.pop(FAIL_STEP, None)
    if fail_step is not None:
        env[FAIL_STEP] = str(fail_step)
    result = run_python(code, str(site), *args, env=env)
    return json.loads(result.stdout.splitlines()[-1])


# Checks that the second import, with the failure switched off, gives a new
# module whose Color works, pickling refusal included.
WORKING_COLOR = """
from support import REFUSAL

def check_working(first):
    import pickle
    new = sys.modules["vantel.color.color"]
    Color = new.Color
    c = Color(300, -4, 10)
    try:
        pickle.dumps(c)
        pickled = "no error"
    except TypeError as error:
        pickled = error.args
    return {
        "file_in_site": new.__file__.startswith(sys.argv[1] + os.sep),
        "new_object": new is not first,
        "same_type": getattr(first, "Color", Color) is Color,
        "repr": repr(c),
        "list": list(c),
        "pickled": list(pickled),
        "reduce_name": Color.__dict__["__reduce__"].__name__,
        "setstate_name": Color.__dict__["__setstate__"].__name__,
        "leftover_keys": sorted({"__reduce_cython__", "__setstate_cython__"} & set(Color.__dict__)),
    }

WORKING = {
    "file_in_site": True,
    "new_object": True,
    "same_type": True,
    "repr": "Color(255, 0, 10, 255)",
    "list": [255, 0, 10, 255],
    "pickled": [REFUSAL],
    "reduce_name": "__reduce_cython__",
    "setstate_name": "__setstate_cython__",
    "leftover_keys": [],
}
"""

# Records every module object the extension loader creates, so that the
# half-made module of a failed exec can be compared with the next one.
RECORD_CREATED = """
import importlib.machinery, json, os, sys
created = []
_create = importlib.machinery.ExtensionFileLoader.create_module
def _recording_create(self, spec):
    module = _create(self, spec)
    if spec.origin.startswith(sys.argv[1] + os.sep):
        created.append(module)
    return module
importlib.machinery.ExtensionFileLoader.create_module = _recording_create
"""

IMPORT_FAILS_THEN_SUCCEEDS = RECORD_CREATED + WORKING_COLOR + """
from support import module_entries
try:
    import vantel.color.color
except Exception as error:
    failure = [type(error).__name__, str(error), [list(e) for e in module_entries(error)]]
else:
    failure = None
still_registered = "vantel.color.color" in sys.modules
# A failed exec may leave Color readied and reachable: it must still iterate.
leftover = [list(cls(1, 2, 3)) for cls in object.__subclasses__()
            if cls.__module__ == "vantel.color.color" and cls.__name__ == "Color"]
del os.environ["VANTEL_COLOR_FAIL_EXEC_STEP"]
import vantel.color.color
print(json.dumps({"failure": failure, "still_registered": still_registered,
                  "created": len(created), "second": check_working(created[0]),
                  "expected_second": WORKING, "leftover": leftover}))
"""


def expected_entries(step):
    if step <= 5:
        return []
    if step == 15:
        return [list(EXEC_REDUCE_ENTRY)]
    if step == 16:
        return [list(EXEC_SETSTATE_ENTRY)]
    return [list(EXEC_ENTRY)]


@pytest.mark.parametrize("step", range(3, 18))
def test_failed_exec_then_a_fresh_import(hook_site, step):
    result = run_with_hooks(hook_site, IMPORT_FAILS_THEN_SUCCEEDS, fail_step=step)
    assert result["failure"] == [
        "RuntimeError", f"exec step {step} failed on purpose", expected_entries(step)
    ]
    assert result["still_registered"] is False
    assert result["created"] == 2
    assert result["second"] == result["expected_second"]
    assert result["leftover"] in ([], [[1, 2, 3, 255]])


# Loaded as the top-level module `color` with step 12 failing: registration
# (step 7) has already run, so only the fixed key can hold the half-made module.
OTHER_NAME_FAILS = RECORD_CREATED + WORKING_COLOR + """
import glob, importlib.util
sentinel = object()
if sys.argv[2] == "sentinel":
    sys.modules["vantel.color.color"] = sentinel
(path,) = glob.glob(os.path.join(sys.argv[1], "vantel", "color", "color.*.so"))
spec = importlib.util.spec_from_file_location("color", path)
module = importlib.util.module_from_spec(spec)
message = None
try:
    spec.loader.exec_module(module)
except RuntimeError as error:
    message = str(error)
entry = sys.modules.get("vantel.color.color", "absent")
if entry is sentinel:
    entry = "sentinel"
elif entry != "absent":
    entry = repr(entry)
outcome = {"message": message, "name": module.__name__, "entry": entry}
if sys.argv[2] == "sentinel":
    del sys.modules["vantel.color.color"]
del os.environ["VANTEL_COLOR_FAIL_EXEC_STEP"]
import vantel.color.color
outcome["second"] = check_working(module)
outcome["expected_second"] = WORKING
print(json.dumps(outcome))
"""


@pytest.mark.parametrize("before", ["absent", "sentinel"])
def test_failed_exec_under_another_name_leaves_the_fixed_key_as_it_was(hook_site, before):
    result = run_with_hooks(hook_site, OTHER_NAME_FAILS, before, fail_step=12)
    assert result["message"] == "exec step 12 failed on purpose"
    assert result["name"] == "color"
    assert result["entry"] == before
    assert result["second"] == result["expected_second"]


# An exec retried after a failure at step 12, with each of its allocations
# failing in turn.  The module's exec is called directly, so that no import
# machinery runs under the failing allocator, and the type is ready before
# the sweep, which steers around the interpreter's own fault in PyType_Ready.
# Every attempt ends in MemoryError or at step 12, and the import that follows
# gives a working Color that publishes its native interface.
EXEC_UNDER_ALLOCATION_FAILURE = "import json, os, sys\n" + WORKING_COLOR + """
import _imp, glob, importlib.util
from fault_injection.injector import each_failure, load_injector

injector = load_injector(sys.argv[2])
(path,) = glob.glob(os.path.join(sys.argv[1], "vantel", "color", "color.*.so"))
spec = importlib.util.spec_from_file_location("vantel.color.color", path)

def fresh_module():
    sys.modules.pop("vantel.color.color", None)
    return _imp.create_dynamic(spec)

def exec_fresh_module():
    global last
    last = fresh_module()
    return _imp.exec_dynamic, last

def outcome(exception):
    if exception is None:
        return "no failure"
    if isinstance(exception, MemoryError):
        return "MemoryError"
    if isinstance(exception, RuntimeError):
        return str(exception)
    raise exception

outcomes = [outcome(injector.call(0, *exec_fresh_module())[2])]
# The first attempt readied Color before its step 12 failed: the type stays
# reachable, and must keep working whatever a later attempt failed to remake.
(leftover,) = [cls for cls in object.__subclasses__()
               if cls.__module__ == "vantel.color.color" and cls.__name__ == "Color"]
leftover_works = True
for _, _, exception in each_failure(injector, exec_fresh_module):
    outcomes.append(outcome(exception))
    exception = None
    colour = leftover(1, 2, 3)
    leftover_works &= list(colour) == [1, 2, 3, 255] and repr(colour) == "Color(1, 2, 3, 255)"
sys.modules.pop("vantel.color.color", None)
del os.environ["VANTEL_COLOR_FAIL_EXEC_STEP"]
import vantel.color.color
namespace = vantel.color.color.Color.__dict__
print(json.dumps({"outcomes": outcomes, "leftover_works": leftover_works,
                  "second": check_working(last), "expected_second": WORKING,
                  "version": namespace["__vantel_color_api_version__"],
                  "table": type(namespace["__pyx_vtable__"]).__name__}))
"""


def test_exec_retried_under_allocation_failure(hook_site, injector_path):
    result = run_with_hooks(hook_site, EXEC_UNDER_ALLOCATION_FAILURE, str(injector_path),
                            fail_step=12)
    on_purpose = "exec step 12 failed on purpose"
    outcomes = result["outcomes"]
    assert set(outcomes) == {"MemoryError", on_purpose}
    assert outcomes.count("MemoryError") >= 10
    assert outcomes[-1] == on_purpose  # the sweep went past the last allocation
    assert result["leftover_works"] is True
    assert result["second"] == result["expected_second"]
    assert result["version"] == 1
    assert result["table"] == "PyCapsule"
