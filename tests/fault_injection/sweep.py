"""Sweeps one operation of operations.py through every failing allocation.

    python sweep.py INJECTOR CONSUMER NAME

runs in a process of its own (a crash fails one operation, not the session)
and prints one JSON line: the problems found, how many allocations were
failed, how many failures were moved past the interpreter's own faults, how
many past code that might be one of them (where the injector could not find
a fault's code: the functions named), and the growth of live blocks over the
rounds.  For each N, until the operation completes without meeting the
failure, the N-th allocation fails and:

- the outcome is the unfailed one (the same result, or the same exception
  with the same traceback entries), or MemoryError whose entries of the
  module are none or those the failing function adds;
- after a MemoryError the objects are as before the call, unless the
  exception went through the generator body, which then has finished;
- the same call, unfailed, then gives the unfailed outcome.

The whole sweep runs ROUNDS times and the live blocks are counted between
rounds: a path that leaks grows them round after round.  The import is swept
in a fresh process per N (forked from one that has imported everything but
the module), followed by an import that must succeed and give a working
module.

VANTEL_FAULT_STRIDE=k fails only every k-th allocation (1, 1 + k, ...), for
the slower sanitizer run.
"""

import gc
import importlib
import inspect
import json
import os
import sys
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TESTS))

from injector import load_injector, mappings  # noqa: E402
from operations import INIT_EXEC, INTERPRETER_LEAKS, operations, unmet  # noqa: E402
from support import (  # noqa: E402
    REFUSAL,
    load_extension,
    module_entries,
)

ROUNDS = 4
STRIDE = int(os.environ.get("VANTEL_FAULT_STRIDE", "1"))


def describe(value):
    """What must be equal between two outcomes."""
    from vantel.color.color import Color

    if isinstance(value, BaseException):
        return ["raise", type(value).__name__, str(value), module_entries(value)]
    if isinstance(value, Color):
        return ["Color", type(value).__name__, value.r, value.g, value.b, value.a]
    if type(value).__name__ == "generator" and hasattr(value, "gi_suspended"):
        return ["generator", inspect.getgeneratorstate(value), value.__name__]
    if isinstance(value, (list, tuple)):
        return [type(value).__name__, *map(describe, value)]
    if isinstance(value, (int, str, bytes, bool, type(None))):
        return ["value", value]
    return [type(value).__name__]


def snapshot(state):
    """The observable state of the colours and generators in `state`."""
    from vantel.color.color import Color

    seen = {}
    for name, value in sorted(vars(state).items()):
        if isinstance(value, Color):
            seen[name] = (value.r, value.g, value.b, value.a)
        elif type(value).__name__ == "generator":
            seen[name] = (inspect.getgeneratorstate(value), value.__name__, value.gi_code)
    return seen


def outcome(result, exception):
    return describe(exception if exception is not None else result)


def without_missing_entries(got, expected):
    """Whether `got` is the exception `expected` short of some of its
    entries: an entry whose frame cannot be made is left out."""
    if got[0] != "raise" or got[:3] != expected[:3]:
        return False
    wanted = iter(expected[3])
    return all(entry in wanted for entry in got[3])


class UnraisableSeen:
    """Notes the exceptions reported as unraisable (a generator dropped by
    the operation whose closing met the failure)."""

    def __init__(self):
        self.seen = False
        sys.unraisablehook = self

    def __call__(self, unraisable):
        self.seen = True


def sweep_operation(injector, setup, act, entries, unraisable, skip):
    """Fails every STRIDE-th allocation of the operation in turn, except the
    allocations `skip`; returns (problems, failed allocations).  Adds to
    `skip` the allocations whose failure was reported as unraisable."""
    state = setup()
    expected = outcome(*injector.call(0, *act(state))[1:])
    # A call may change its objects (a generator that finishes): the state
    # after the unfailed call, which a failure late in the call may leave.
    changed = snapshot(state)
    # Each setup runs after the objects of the last are gone, so that what
    # they held (free iteration records) is back before the new ones take it.
    state = None
    allowed = {(), *((entry,) for entry in entries)}
    if expected[0] == "raise":
        allowed.add(tuple(map(tuple, expected[3])))
    problems = []
    n = 1
    failures = 0
    while True:
        if n in skip:
            n += STRIDE
            continue
        state = setup()
        before = snapshot(state)
        unraisable.seen = False
        fired, result, exception = injector.call(n, *act(state))
        if unraisable.seen:
            skip.add(n)
        if not fired:
            if outcome(result, exception) != expected:
                problems.append(f"N={n}: unfailed call gave {outcome(result, exception)}")
            return problems, failures
        failures += 1
        got = outcome(result, exception)
        if got != expected and not without_missing_entries(got, expected):
            if not isinstance(exception, MemoryError):
                problems.append(f"N={n}: {got} instead of {expected} or MemoryError")
            elif tuple(got[3]) not in allowed:
                problems.append(f"N={n}: MemoryError with entries {got[3]}")
        after = snapshot(state)
        if after != before and after != changed:
            problems.append(f"N={n}: state {after} after {got}, was {before}")
        if after != before:
            state = None
            state = setup()
        retried = outcome(*injector.call(0, *act(state))[1:])
        if retried != expected:
            problems.append(f"N={n}: the call afterwards gave {retried}")
        state = result = exception = None
        n += STRIDE


def sweep_with_rounds(injector, setup, act, entries, check_leaks):
    """The sweep, ROUNDS times.  The interpreter's report of an unraisable
    MemoryError keeps memory of its own, so the allocations whose failure
    gave one are checked in the first round only and left out of the count
    of live blocks."""
    problems = []
    growth = []
    failures = 0
    unraisable = UnraisableSeen()
    skip = set()
    gc.collect()
    blocks = injector.live_blocks()
    for round_ in range(ROUNDS):
        found, failures = sweep_operation(injector, setup, act, entries, unraisable, skip)
        if round_ == 0:
            problems += found
        gc.collect()
        now = injector.live_blocks()
        growth.append(now - blocks)
        blocks = now
    # The first round fills the caches; a leak grows every later round.
    if check_leaks and failures and min(growth[1:]) > 0:
        problems.append(f"live blocks grew by {growth} over the rounds")
    return problems, failures, growth


def check_working_module(consumer_path):
    """Problems of the module imported after a failed import, if any."""
    import pickle

    import vantel.color.color as module
    from vantel.color.color import Color

    problems = []
    colour = Color(300, -4, 10)
    if repr(colour) != "Color(255, 0, 10, 255)" or list(colour) != [255, 0, 10, 255]:
        problems.append(f"the colour reads {colour!r}")
    try:
        pickle.dumps(colour)
        problems.append("a colour was pickled")
    except TypeError as error:
        if str(error) != REFUSAL:
            problems.append(f"pickling refused with {error}")
    if hasattr(Color, "__reduce_cython__") or Color.__reduce__.__name__ != "__reduce_cython__":
        problems.append("the pickling set-up did not run")
    if module.__test__ != {} or sys.modules["vantel.color.color"] is not module:
        problems.append("the module namespace or registration is wrong")
    consumer = load_extension("_color_consumer", consumer_path)
    if repr(consumer.new(1, 300, -5, 4)) != "Color(1, 255, 0, 4)":
        problems.append("new through the method table does not work")
    return problems


def check_reachable_leftovers():
    """A failed import may leave Color readied and reachable; whatever is
    reachable must work, or fail cleanly, but never crash."""
    problems = []
    for cls in object.__subclasses__():
        if cls.__module__ == "vantel.color.color" and cls.__name__ == "Color":
            try:
                colour = cls(1, 2, 3)
                if list(colour) != [1, 2, 3, 255] or repr(colour) != "Color(1, 2, 3, 255)":
                    problems.append(f"the leftover Color gives {list(colour)}")
            except Exception as error:  # reported
                problems.append(f"the leftover Color raised {error!r}")
    return problems


def import_child(injector, n, consumer_path, load):
    """In a forked child: fails the n-th allocation of the import, then
    imports again.  Returns (fired, problems, failures moved on as avoided,
    as undecided)."""
    avoided, undecided = injector.avoided(), injector.undecided()
    problems = []
    # An error the import swallows, reporting it as unraisable, is one it
    # did not handle.
    sys.unraisablehook = lambda unraisable: problems.append(
        f"unraisable {unraisable.exc_value!r} in {unraisable.err_msg or unraisable.object}"
    )
    fired, _, exception = injector.call(n, load)
    if exception is not None:
        entries = tuple(module_entries(exception))
        if not isinstance(exception, MemoryError):
            problems.append(f"import raised {exception!r}")
        elif not set(entries) <= INIT_EXEC or len(entries) > 1:
            problems.append(f"import failed with entries {entries}")
        del exception
        for name in ("vantel.color", "vantel.color.color"):
            sys.modules.pop(name, None)
        problems += check_reachable_leftovers()
    problems += check_working_module(consumer_path)
    return fired, problems, injector.avoided() - avoided, injector.undecided() - undecided


def module_path():
    import vantel

    (path,) = (Path(vantel.__file__).parent / "color").glob("color.*.so")
    return path


def load_module_code(as_main):
    """Loads the module's shared object, without initialising it, and
    returns the address ranges of its code; `as_main` sets the flag that an
    embedding program sets to run the module as __main__."""
    import ctypes

    library = ctypes.CDLL(str(module_path()))
    ctypes.c_int.in_dll(library, "__pyx_module_is_main_vantel__color__color").value = as_main
    path = os.path.realpath(module_path())
    return [
        tuple(int(bound, 16) for bound in fields[0].split("-"))
        for fields in mappings()
        if len(fields) == 6 and fields[5] == path and "x" in fields[1]
    ]


# How each import row loads the module.
IMPORTS = {
    "import": lambda: importlib.import_module("vantel.color.color"),
    "import as __main__": lambda: importlib.import_module("vantel.color.color"),
}


def sweep_import(injector, consumer_path, name):
    """Fails the allocations of the module's own create and exec functions
    (and of what they call) in turn; the import machinery around them is
    the interpreter's, with faults of its own.  Returns (problems, failures,
    avoided, undecided), counted over the children."""
    # Everything the import needs but the package vantel.color and its
    # module (vantel.color imports the module).
    import pathlib  # noqa: F401

    if "vantel.color.color" in sys.modules:
        return ["the module was imported before its import was swept"], 0
    injector.count_within(load_module_code(as_main=name == "import as __main__"))

    problems = []
    failures = avoided = undecided = 0
    n = 1
    while True:
        read_end, write_end = os.pipe()
        sys.stdout.flush()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                fired, found, moved, unsure = import_child(
                    injector, n, consumer_path, IMPORTS[name]
                )
                report = json.dumps(
                    {"fired": fired, "problems": found, "avoided": moved, "undecided": unsure}
                )
            except BaseException as error:  # reported, not raised
                report = json.dumps(
                    {"fired": True, "problems": [repr(error)], "avoided": 0, "undecided": 0}
                )
            os.write(write_end, report.encode())
            os.close(write_end)
            # A normal exit, so that the interpreter's finalisation runs over
            # what the failed import left (and a coverage build writes its
            # counts).
            sys.exit(0)
        os.close(write_end)
        with os.fdopen(read_end) as reader:
            text = reader.read()
        _, status = os.waitpid(pid, 0)
        if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0 or not text:
            problems.append(f"N={n}: the import process ended with status {status}")
            fired = True
        else:
            report = json.loads(text)
            fired = report["fired"]
            problems += [f"N={n}: {problem}" for problem in report["problems"]]
            avoided += report["avoided"]
            undecided += report["undecided"]
        if not fired:
            return problems, failures, avoided, undecided
        failures += 1
        n += STRIDE


def main(injector_path, consumer_path, name):
    injector = load_injector(injector_path)
    if name in IMPORTS:
        # The failures happen in forked children, which report their counts.
        problems, failures, avoided, undecided = sweep_import(injector, consumer_path, name)
        growth = []
    else:
        consumer = load_extension("_color_consumer", consumer_path)
        setup, act, entries, gives, *_ = operations(consumer)[name]
        unfailed = unmet(gives, *injector.call(0, *act(setup()))[1:])
        problems = [f"the unfailed call {unfailed}"] if unfailed else []
        found, failures, growth = sweep_with_rounds(
            injector, setup, act, entries, name not in INTERPRETER_LEAKS
        )
        problems += found
        avoided, undecided = injector.avoided(), injector.undecided()
    print(
        json.dumps(
            {
                "problems": problems,
                "failures": failures,
                "avoided": avoided,
                "undecided": undecided,
                "not found": injector.functions_not_found,
                "growth": growth,
            }
        )
    )


if __name__ == "__main__":
    main(*sys.argv[1:])
