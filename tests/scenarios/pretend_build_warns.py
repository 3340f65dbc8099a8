"""Imports the module and reports its warnings, where they are attributed,
and whether it works: the test build that believes it was compiled for
another Python (its directory first on the path) warns once, the installed
build not at all.  It also reports the place of the Python code that runs
the module's execution: the import machinery's call of the exec function."""

import importlib._bootstrap

from common import import_recording_warnings, report, works

module, caught = import_recording_warnings(places=True)
calls_exec = importlib._bootstrap._call_with_frames_removed.__code__
last_line = max(line for _, _, line in calls_exec.co_lines() if line is not None)
report(
    {
        "file": module.__file__,
        "warnings": caught,
        "works": works(module),
        "exec_called_at": [calls_exec.co_filename, last_line],
    }
)
