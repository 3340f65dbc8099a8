"""Five imports whose execution fails, then one that succeeds."""

import warnings

from common import import_recording_warnings, outcome_of_import, report, works

warnings.simplefilter("error", RuntimeWarning)
failures = [outcome_of_import() for _ in range(5)]
warnings.resetwarnings()
module, caught = import_recording_warnings()
report({"failures": failures, "warnings": caught, "works": works(module)})
