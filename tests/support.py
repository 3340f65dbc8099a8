"""Helpers shared by the test modules."""

import contextlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

TESTS = Path(__file__).resolve().parent

IMPLEMENTATION_FILE = "src/vantel/color/color.cpp"
DECLARATION_FILE = "src/vantel/color/color.h"
STRINGSOURCE = "<stringsource>"
MODULE_FILES = frozenset({IMPLEMENTATION_FILE, DECLARATION_FILE, STRINGSOURCE})

# What pickling or copying a colour raises.
REFUSAL = (
    "Pickling of struct members such as self._raw must be explicitly requested with "
    "@auto_pickle(True)"
)
# What an import from a second interpreter raises.
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
# The test build that believes it was compiled for Python 3.12 (3.12.0 final)
# warns with this text whenever it is executed.
PRETEND_VERSION_HEX = "0x030C00F0"
VERSION_WARNING = (
    "compile time Python version 3.12 of module 'vantel.color.color' "
    "does not match runtime version 3.13"
)


def traceback_entries(exc):
    """Every traceback entry of `exc` as (function name, file, line), outermost first."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def module_entries(exc):
    """The traceback entries of `exc` that the extension module added."""
    return [entry for entry in traceback_entries(exc) if entry[1] in MODULE_FILES]


def run_python(code, *args, check=True, env=None, timeout=120):
    """Runs `code` in a fresh interpreter (this one's executable) and returns the result."""
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )
    if check and result.returncode != 0:
        raise AssertionError(
            f"subprocess failed with {result.returncode}\n"
            f"--- stdout\n{result.stdout}\n--- stderr\n{result.stderr}"
        )
    return result


def run_with_injector(code, injector_path, *args):
    """Runs `code` in a fresh interpreter that can import the tests' own
    modules, with the allocation-failure injector's path as sys.argv[1]."""
    return run_python(code, str(injector_path), *args,
                      env=dict(os.environ, PYTHONPATH=str(TESTS)))


def channels(colour):
    """The four channels of a colour, read through the short properties."""
    return (colour.r, colour.g, colour.b, colour.a)


def clamp(value):
    """The clamp rule of every channel store."""
    return 0 if value < 0 else 255 if value > 255 else value


class _LooksLikeName(str):
    """A key with the hash of "__name__": a lookup of "__name__" that meets it
    compares the two, and the comparison runs `action` (not inside itself)."""

    action = None

    def __hash__(self):
        return hash("__name__")

    def __eq__(self, other):
        action, _LooksLikeName.action = _LooksLikeName.action, None
        if action is not None:
            try:
                action()
            finally:
                _LooksLikeName.action = action
        return NotImplemented


@contextlib.contextmanager
def name_lookups_running(namespace, action):
    """Within the block, every lookup of "__name__" in `namespace` (making a
    frame with it as globals does one) runs `action()` halfway through; a
    lookup that `action` makes itself runs nothing.  Afterwards the namespace
    holds what it held before."""
    name = namespace.pop("__name__")
    key = _LooksLikeName("looks like __name__")
    namespace[key] = None
    namespace["__name__"] = name  # after the key, so that a lookup meets the key first
    _LooksLikeName.action = action
    try:
        yield
    finally:
        _LooksLikeName.action = None
        del namespace[key]
