"""Loads `_failing_alloc`, the allocation-failure injector, steered around
the faults of the 3.13.0 interpreter, and fails each allocation of a call
in turn."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from support import load_extension

# Code of the 3.13.0 interpreter that mishandles a failed allocation: each
# group is let through when all its functions are on the stack.
INTERPRETER_FAULTS = (
    # PyType_Ready of a static type crashes when PyDict_SetDefaultRef fails.
    ("type_ready", "dict_setdefault_ref_lock_held"),
    # MAKE_FUNCTION releases its code object twice when PyFunction_New fails.
    ("PyFunction_NewWithQualName",),
    # take_ownership() clears the pending exception when it cannot make the
    # caller's frame object.
    ("_PyFrame_ClearExceptCode", "_PyFrame_MakeAndSetFrameObject"),
)


def mappings():
    return [line.split() for line in Path("/proc/self/maps").read_text().splitlines()]


def interpreter_code_ranges():
    """The groups of INTERPRETER_FAULTS as address ranges in this process."""
    maps = mappings()
    files = [fields for fields in maps if len(fields) == 6 and "libpython3" in fields[5]]
    if not files:
        files = [fields for fields in maps
                 if len(fields) == 6 and fields[5] == os.path.realpath(sys.executable)]
    nm = shutil.which("nm")
    if not files or nm is None:
        return []
    path = files[0][5]
    base = min(int(fields[0].split("-")[0], 16) - int(fields[2], 16) for fields in files
               if fields[5] == path)
    symbols = {}
    listing = subprocess.run([nm, "-S", "--defined-only", path], capture_output=True, text=True)
    for line in listing.stdout.splitlines():
        match = re.fullmatch(r"([0-9a-f]+) ([0-9a-f]+) [tT] (\S+)", line)
        if match:
            start = base + int(match[1], 16)
            symbols[match[3]] = (start, start + int(match[2], 16))
    return [[symbols[name] for name in group] for group in INTERPRETER_FAULTS
            if all(name in symbols for name in group)]


def load_injector(path):
    """The injector built at `path`, steered around the interpreter's faults."""
    injector = load_extension("_failing_alloc", path)
    injector.avoid(interpreter_code_ranges())
    return injector


def each_failure(injector, make_call):
    """Calls what make_call() gives, (function, *args), afresh each time,
    with the call's first, second, ... allocation failing, until a call
    completes without meeting the failure; yields (fired, result, exception)
    of every call, that last one included."""
    n = 1
    while True:
        fired, result, exception = injector.call(n, *make_call())
        yield fired, result, exception
        if not fired:
            return
        n += 1
