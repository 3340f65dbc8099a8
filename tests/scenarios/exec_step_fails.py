"""An import of the hook build in site argv[1] whose exec step
VANTEL_COLOR_FAIL_EXEC_STEP fails, then an import with the failure switched
off."""

import os
import sys

from common import (
    colours_of_the_module,
    imported_after,
    outcome_of_import,
    record_created_modules,
    report,
)

site = sys.argv[1]
created = record_created_modules(site)
failure = outcome_of_import()
still_registered = "vantel.color.color" in sys.modules
# A failed exec may leave Color readied and reachable: it must still iterate.
leftover = [list(cls(1, 2, 3)) for cls in colours_of_the_module()]
del os.environ["VANTEL_COLOR_FAIL_EXEC_STEP"]
import vantel.color.color  # noqa: E402, F401

report(
    {
        "failure": failure,
        "still_registered": still_registered,
        "created": len(created),
        "second": imported_after(created[0], site),
        "leftover": leftover,
    }
)
