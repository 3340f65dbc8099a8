"""Leak hunting: every public operation and every error path, repeated.

Each operation runs a few hundred times in rounds.  Between rounds the
interpreter's allocated blocks are counted (sys.getallocatedblocks(); with
pymalloc switched off, as in the sanitizer run, the blocks tracemalloc traces
instead), the total reference count where a debug interpreter offers it, and
the reference count of every shared object the operations touch: the
colours, the argument objects, the classes and the module's functions.  A
leak of one block or one reference per call grows its count by the number of
calls in every round; caches that fill once and stray allocations of the
measuring code do not repeat round after round: while the last three rounds
grow, more are run, and only the last three count.  Blocks and watched
objects fail the check only when each of them grew by at least half the
number of calls.  The total reference count is read in the same state of the
measuring code every time, so it moves only with what the operation and
the interpreter do; like CPython's own reference-leak runs, it is held far
tighter, up and down: a reference lost only now and then, or one given up
that was never taken.

The operations are the rows of the catalogue that the allocation-failure
sweep reads too (fault_injection/operations.py); each is checked to give
what its row says before it is repeated.
"""

import array
import gc
import itertools
import sys
import tracemalloc

import pytest

from fault_injection.operations import NAMES, operations, shared, unmet

pytestmark = pytest.mark.slow

WARMUP = 20
ROUNDS = 3
CALLS = 200
# A leak grows in every round; a cache that the operation refills, such as
# the interpreter's free lists after an earlier test emptied them, grows for
# some rounds and then stops.  So while the last ROUNDS rounds look like a
# leak, more are run, up to MAX_ROUNDS, and only the last ROUNDS count.
MAX_ROUNDS = 15
# Growth per round of blocks, or of references to one watched object, that
# counts as a leak: half a block (or reference) per call.
LEAK_THRESHOLD = CALLS // 2
# Change per round of a debug interpreter's total reference count that counts
# as a leak: one reference in twenty calls.  The interpreter's own
# bookkeeping moves it by a few at most (seen where color.h's import runs).
TOTAL_REFERENCES = "total references"
TOTAL_THRESHOLD = CALLS // 20


# ---------------------------------------------------------------------------
# The measuring harness.


class BlockCounter:
    """Counts the blocks the interpreter holds: pymalloc's own count, or the
    traces of tracemalloc when pymalloc is not in use."""

    def __init__(self):
        self.uses_tracemalloc = sys.getallocatedblocks() == 0
        self.started_tracemalloc = False

    def __enter__(self):
        if self.uses_tracemalloc and not tracemalloc.is_tracing():
            tracemalloc.start(1)
            self.started_tracemalloc = True
        return self

    def __exit__(self, *exc_info):
        if self.started_tracemalloc:
            tracemalloc.stop()

    def __call__(self):
        if self.uses_tracemalloc:
            return len(tracemalloc.take_snapshot().traces)
        return sys.getallocatedblocks()


def run_expecting(operation, expected):
    if expected is None:
        operation()
        return
    try:
        operation()
    except expected:
        pass
    else:
        raise AssertionError(f"{operation!r} did not raise {expected.__name__}")


def measure_growth(operation, expected, watched):
    """Per round: growth of the block count, of the total reference count
    (debug interpreters only) and of each watched object's reference count."""
    for _ in range(WARMUP):
        run_expecting(operation, expected)
    counters = {}
    with BlockCounter() as blocks:
        counters["blocks"] = blocks
        if hasattr(sys, "gettotalrefcount"):
            counters[TOTAL_REFERENCES] = sys.gettotalrefcount
        for index, obj in enumerate(watched):
            counters[f"references to watched object {index} ({type(obj).__name__})"] = (
                lambda obj=obj: sys.getrefcount(obj)
            )

        def read():
            return {name: counter() for name, counter in counters.items()}

        def record(index, before, after):
            for name in counters:
                growth[name][index] = after[name] - before[name]

        # Every reading is taken in the same state of the measuring code, so
        # that the total reference count sees only the operation: growth is
        # made beforehand and stores machine integers, not int objects, and
        # each reading is taken while the one before is held, by both names;
        # hence a first reading, held while the base one is taken.
        growth = {name: array.array("q", bytes(8 * MAX_ROUNDS)) for name in counters}
        after = read()
        for index in range(-1, MAX_ROUNDS):
            if index >= 0:
                for _ in range(CALLS):
                    run_expecting(operation, expected)
            gc.collect()
            before = after
            after = read()
            if index >= 0:
                record(index, before, after)
                rounds = index + 1
                if rounds >= ROUNDS and not leaking(growth, rounds):
                    break
    return {name: list(values[:rounds]) for name, values in growth.items()}


def leaking(growth, rounds=None):
    """The counters of `growth` (from measure_growth) that grew steadily over
    the last ROUNDS of its first `rounds` rounds (all of them by default)."""

    def steady(name, values):
        last = values[:rounds][-ROUNDS:]
        if name == TOTAL_REFERENCES:
            return min(last) >= TOTAL_THRESHOLD or max(last) <= -TOTAL_THRESHOLD
        return min(last) >= LEAK_THRESHOLD

    return {name: values for name, values in growth.items() if steady(name, values)}


def assert_no_leak(operation, expected=None, watched=()):
    # The first call is checked on its own, so that a wrong outcome reads as
    # such and not as a leak.
    if expected is None:
        operation()
    else:
        with pytest.raises(expected):
            operation()
    growth = measure_growth(operation, expected, tuple(watched) + shared().watched)
    leaks = leaking(growth)
    assert not leaks, f"steady change over {CALLS} calls per round: {leaks}"
    return len(growth["blocks"])


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    """Moves what the test session has built so far out of the collector's
    reach, so that the many collections of the harness stay cheap."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


# ---------------------------------------------------------------------------
# The harness itself must see a leak of one block, or one reference, per call;
# on a debug interpreter, also a reference lost now and then, or given up.

needs_total_references = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="only a debug interpreter counts all references"
)

hoard = []


def leak_one_block():
    hoard.append(object())


def leak_one_reference():
    hoard.append(shared().colour)


call_numbers = itertools.count(1)


def leak_a_reference_now_and_then():
    # One call in ten: twenty references a round, too few for the watched
    # object's threshold.
    if next(call_numbers) % 10 == 0:
        hoard.append(shared().colour)


def give_up_one_reference():
    hoard.pop()


@pytest.mark.parametrize(
    ("operation", "counter"),
    [
        pytest.param(leak_one_block, "blocks", id="one-block-per-call"),
        pytest.param(leak_one_reference, "references to watched object 0", id="one-reference"),
        pytest.param(
            leak_a_reference_now_and_then,
            TOTAL_REFERENCES,
            id="one-reference-now-and-then",
            marks=needs_total_references,
        ),
        pytest.param(
            give_up_one_reference,
            TOTAL_REFERENCES,
            id="one-reference-given-up",
            marks=needs_total_references,
        ),
    ],
)
def test_harness_catches_one_leak_per_call(operation, counter):
    if operation is give_up_one_reference:
        hoard.extend([shared().colour] * (WARMUP + MAX_ROUNDS * CALLS))
    try:
        growth = measure_growth(operation, None, shared().watched)
    finally:
        hoard.clear()
    (name,) = [name for name in growth if name.startswith(counter)]
    assert name in leaking(growth), growth[name]


def test_harness_tolerates_a_cache_that_fills_once():
    cache = {}

    def fill_cache():
        if len(cache) < 4 * CALLS:
            cache[len(cache)] = object()

    growth = measure_growth(fill_cache, None, shared().watched)
    assert not leaking(growth), growth


def call(row):
    """The operation of a row of the catalogue, ready to call, and the
    exception type the row says it raises (None if it returns)."""

    def operation():
        function, *arguments = row.act(row.setup())
        return function(*arguments)

    return operation, row.gives[1] if row.gives[0] == "raises" else None


# Under valgrind's memcheck, where every call is far slower, the conversion
# failures and the generator paths stand for the other rows.
REPRESENTATIVE_GROUPS = ("conversion failure:", "iteration:", "generator protocol:")
CATALOGUE = [
    pytest.param(name, marks=pytest.mark.representative)
    if name.startswith(REPRESENTATIVE_GROUPS)
    else name
    for name in NAMES
    if operations(None)[name].setup is not None
]


@pytest.mark.parametrize("name", CATALOGUE)
def test_catalogued_operation_does_not_leak(consumer, name):
    row = operations(consumer)[name]
    operation, expected = call(row)
    finalised = shared().deleted[0]
    try:
        result, exception = operation(), None
    except BaseException as error:
        result, exception = None, error
    assert unmet(row.gives, result, exception) is None
    result = exception = None
    rounds = assert_no_leak(operation, expected)
    if row.finalises:
        # Every instance made, here and by the harness, ran its finaliser once.
        assert shared().deleted[0] - finalised == 2 + WARMUP + rounds * CALLS


# Built for a debug interpreter, the native builds must be compiled with
# Py_DEBUG too, or none of the interpreter's checks of them run and their
# own Py_INCREF and Py_DECREF bypass the total reference count.  Each
# operation releases references that the interpreter counted when it made
# the objects: the int returned by __int__, the colours made through color.h.
@needs_total_references
@pytest.mark.parametrize(
    "name", ["conversion failure: construction-__int__-returns-2**40", "native: new-many"]
)
def test_native_builds_count_references_on_a_debug_interpreter(consumer, name):
    growth = measure_growth(*call(operations(consumer)[name]), ())
    assert not leaking(growth), (
        f"the total reference count moved by {growth[TOTAL_REFERENCES]} in rounds of "
        f"{CALLS} calls: is this build missing the interpreter's Py_DEBUG?"
    )
