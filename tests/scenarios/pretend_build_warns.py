"""Imports the test build that believes it was compiled for another Python:
it warns once and works."""

from common import import_recording_warnings, report, works

module, caught = import_recording_warnings()
report({"file": module.__file__, "warnings": caught, "works": works(module)})
