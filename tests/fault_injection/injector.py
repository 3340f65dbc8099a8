"""Loads `_failing_alloc`, the allocation-failure injector, steered around
the interpreter's own faults, and fails each allocation of a call in turn."""

from pathlib import Path

from support import load_extension

# The interpreter's own faults under allocation failure (3.13.0 and Debian's
# 3.13.5; fixed in 3.13.18 and 3.14), each named by the C API functions whose
# code is all on the stack of an allocation that must not fail.  The injector
# finds that code by calling each function itself: an interpreter without
# symbols (stripped, built with LTO, static) hides it from every other means.
INTERPRETER_FAULTS = (
    # PyType_Ready of a static type crashes when PyDict_SetDefaultRef fails.
    ("PyType_Ready", "PyDict_SetDefaultRef"),
)


def mappings():
    return [line.split() for line in Path("/proc/self/maps").read_text().splitlines()]


def load_injector(path):
    """The injector built at `path`, steered around the interpreter's
    faults; its `functions_not_found` names the functions of
    INTERPRETER_FAULTS whose code it could not find."""
    injector = load_extension("_failing_alloc", path)
    injector.functions_not_found = injector.avoid(INTERPRETER_FAULTS)
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
