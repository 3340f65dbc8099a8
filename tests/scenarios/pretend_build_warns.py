"""Imports the module and reports its warnings and whether it works: the
test build that believes it was compiled for another Python (its directory
first on the path) warns once, the installed build not at all."""

from common import import_recording_warnings, report, works

module, caught = import_recording_warnings()
report({"file": module.__file__, "warnings": caught, "works": works(module)})
