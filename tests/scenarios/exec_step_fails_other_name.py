"""The hook build in site argv[1] loaded as the top-level module `color`
with an exec step failing after registration, the key "vantel.color.color"
of sys.modules absent, held by another object (argv[2] == "sentinel") or
by the module itself, put there before its exec ("itself"); then an import
with the failure switched off."""

import glob
import importlib.util
import os
import sys

from common import imported_after, report

site = sys.argv[1]
sentinel = object()
if sys.argv[2] == "sentinel":
    sys.modules["vantel.color.color"] = sentinel
(path,) = glob.glob(os.path.join(site, "vantel", "color", "color.*.so"))
spec = importlib.util.spec_from_file_location("color", path)
module = importlib.util.module_from_spec(spec)
if sys.argv[2] == "itself":
    sys.modules["vantel.color.color"] = module
message = None
try:
    spec.loader.exec_module(module)
except RuntimeError as error:
    message = str(error)
entry = sys.modules.get("vantel.color.color", "absent")
if entry is sentinel:
    entry = "sentinel"
elif entry is module:
    entry = "itself"
elif entry != "absent":
    entry = repr(entry)
outcome = {"message": message, "name": module.__name__, "entry": entry}
if sys.argv[2] != "absent":
    del sys.modules["vantel.color.color"]
del os.environ["VANTEL_COLOR_FAIL_EXEC_STEP"]
import vantel.color.color  # noqa: E402, F401

outcome["second"] = imported_after(module, site)
report(outcome)
