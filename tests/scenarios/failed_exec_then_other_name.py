"""After a failed execution the test build argv[1] is loaded as the
top-level module `color`; it then also registers itself under its full name."""

import importlib.util
import sys
import warnings

from common import outcome_of_import, report, works

warnings.simplefilter("error", RuntimeWarning)
first = outcome_of_import()
warnings.resetwarnings()
spec = importlib.util.spec_from_file_location("color", sys.argv[1])
module = importlib.util.module_from_spec(spec)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    spec.loader.exec_module(module)
report(
    {
        "first": first,
        "name": module.__name__,
        "registered": sys.modules.get("vantel.color.color") is module,
        "warnings": [[w.category.__name__, str(w.message)] for w in caught],
        "works": works(module),
    }
)
