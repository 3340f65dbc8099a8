"""An exec of the hook build in site argv[1], retried after a failure at
step 12, with each of its allocations failing in turn (the injector built at
argv[2]).  The module's exec is called directly, so that no import machinery
runs under the failing allocator, and the type is ready before the sweep,
which steers around the interpreter's own fault in PyType_Ready."""

import _imp
import glob
import importlib.util
import os
import sys

from common import colours_of_the_module, imported_after, report

from fault_injection.injector import each_failure, load_injector

site = sys.argv[1]
injector = load_injector(sys.argv[2])
(path,) = glob.glob(os.path.join(site, "vantel", "color", "color.*.so"))
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
(leftover,) = colours_of_the_module()
leftover_works = True
for _, _, exception in each_failure(injector, exec_fresh_module):
    outcomes.append(outcome(exception))
    exception = None
    colour = leftover(1, 2, 3)
    leftover_works &= list(colour) == [1, 2, 3, 255] and repr(colour) == "Color(1, 2, 3, 255)"
sys.modules.pop("vantel.color.color", None)
del os.environ["VANTEL_COLOR_FAIL_EXEC_STEP"]
import vantel.color.color  # noqa: E402

namespace = vantel.color.color.Color.__dict__
report(
    {
        "outcomes": outcomes,
        "leftover_works": leftover_works,
        "second": imported_after(last, site),
        "version": namespace["__vantel_color_api_version__"],
        "table": type(namespace["__pyx_vtable__"]).__name__,
    }
)
