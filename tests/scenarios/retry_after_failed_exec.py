"""An import of the test build argv[1] whose execution fails because its
version warning is made an error in the way argv[2] names; then the imports
that follow with warnings allowed."""

import sys
import warnings

from common import import_recording_warnings, leftovers, outcome_of_import, report, works

MODULE_PATH = sys.argv[1]
original_showwarning = warnings.showwarning


def refuse(*args, **kwargs):
    raise LookupError("no warnings here")


if sys.argv[2] == "filter-in-code":
    warnings.simplefilter("error", RuntimeWarning)
elif sys.argv[2] == "raising-warning-hook":
    warnings.simplefilter("always")
    warnings.showwarning = refuse
# "command-line-filter": PYTHONWARNINGS makes the warning an error.

first = outcome_of_import()
state = {
    "leftovers": leftovers(MODULE_PATH),
    "registered": "vantel.color.color" in sys.modules,
    "package": "vantel.color" in sys.modules,
}
warnings.resetwarnings()
warnings.showwarning = original_showwarning
module, caught = import_recording_warnings()
again, caught_again = import_recording_warnings()
del sys.modules["vantel.color.color"]
third, caught_third = import_recording_warnings()
report(
    {
        "first": first,
        "state": state,
        "warnings": [caught, caught_again, caught_third],
        "same": [again is module, third is module, module.Color is third.Color],
        "works": works(module),
        "file": module.__file__,
    }
)
