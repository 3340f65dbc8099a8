"""Leak hunting: every public operation and every error path, repeated.

Each operation runs a few hundred times in rounds.  Between rounds the
interpreter's allocated blocks are counted (sys.getallocatedblocks(); with
pymalloc switched off, as in the sanitizer run, the blocks tracemalloc traces
instead), the total reference count where a debug interpreter offers it, and
the reference count of every shared object the operations touch: the
colours, the argument objects, the classes and the module's functions.  A
leak of one block or one reference per call grows its count by the number of
calls in every round; caches that fill once and stray allocations of the
measuring code do not repeat round after round.  Blocks and watched objects
fail the check only when every round grew by at least half the number of
calls.  The total reference count is read in the same state of the
measuring code every time, so it moves only with what the operation and
the interpreter do; like CPython's own reference-leak runs, it is held far
tighter, up and down: a reference lost only now and then, or one given up
that was never taken.

Besides its own rows it runs every operation of the catalogue that the
allocation-failure sweep drives (fault_injection/operations.py), after
checking that the operation gives what its row says.
"""

import abc
import array
import copy
import gc
import itertools
import pickle
import sys
import tracemalloc
import warnings
import weakref

import pytest

import vantel.color.color as color_module
from vantel.color.color import Color

from fault_injection.operations import NAMES, operations, unmet
from support import FINISHED, Sub, generator_at, name_lookups_running

WARMUP = 20
ROUNDS = 3
CALLS = 200
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
        growth = {name: array.array("q", bytes(8 * ROUNDS)) for name in counters}
        after = read()
        for index in range(-1, ROUNDS):
            if index >= 0:
                for _ in range(CALLS):
                    run_expecting(operation, expected)
            gc.collect()
            before = after
            after = read()
            if index >= 0:
                record(index, before, after)
    return {name: list(rounds) for name, rounds in growth.items()}


def leaking(growth):
    """The counters of `growth` (from measure_growth) that grew steadily."""

    def steady(name, rounds):
        if name == TOTAL_REFERENCES:
            return min(rounds) >= TOTAL_THRESHOLD or max(rounds) <= -TOTAL_THRESHOLD
        return min(rounds) >= LEAK_THRESHOLD

    return {name: rounds for name, rounds in growth.items() if steady(name, rounds)}


def assert_no_leak(operation, expected=None, watched=()):
    # The first call is checked on its own, so that a wrong outcome reads as
    # such and not as a leak.
    if expected is None:
        operation()
    else:
        with pytest.raises(expected):
            operation()
    growth = measure_growth(operation, expected, tuple(watched) + SHARED_OBJECTS)
    leaks = leaking(growth)
    assert not leaks, f"steady change over {CALLS} calls per round: {leaks}"


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    """Moves what the test session has built so far out of the collector's
    reach, so that the many collections of the harness stay cheap."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


# ---------------------------------------------------------------------------
# Shared objects that the operations use; their reference counts are watched.


class IntLike:
    def __int__(self):
        return 77


class RaisingInt:
    def __int__(self):
        raise ArithmeticError("no number here")


class FloatInt:
    def __int__(self):
        return 1.5


class BoolInt:
    def __int__(self):
        return True


class HugeInt:
    def __int__(self):
        return 2**40


class VeryHugeInt:
    def __int__(self):
        return 2**70


class IndexOnly:
    def __index__(self):
        return 3


class IntSubclass(int):
    def __int__(self):
        return 1

    def __index__(self):
        return 2


class SlotsSub(Color):
    __slots__ = ()


deleted = [0]


class WithDel(Color):
    def __del__(self):
        deleted[0] += 1


class SlotsWithDel(Color):
    __slots__ = ()

    def __del__(self):
        deleted[0] += 1


resurrected = []


class Resurrecting(Color):
    def __del__(self):
        if len(resurrected) < 1:
            resurrected.append(self)


class InitOverride(Color):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)


class PropertyOverride(Color):
    @property
    def r(self):
        return 1000


class AbstractColor(Color, metaclass=abc.ABCMeta):
    @abc.abstractmethod
    def paint(self):
        """Must be overridden."""


class ReducingSub(Color):
    def __reduce__(self):
        return (ReducingSub, tuple(self))


colour = Color(10, 20, 30, 40)
sub_colour = Sub(1, 2, 3)
int_like = IntLike()
raising_int = RaisingInt()
float_int = FloatInt()
bool_int = BoolInt()
huge_int = HugeInt()
very_huge_int = VeryHugeInt()
index_only = IndexOnly()
int_subclass = IntSubclass(9)
big_values = (2**31, -(2**31) - 1, 2**62, 2**64, -(2**64), 10**30)
text_value = "12"

SHARED_OBJECTS = (
    colour,
    sub_colour,
    Sub,
    WithDel,
    int_like,
    raising_int,
    float_int,
    bool_int,
    huge_int,
    very_huge_int,
    index_only,
    int_subclass,
    *big_values,
    text_value,
    color_module.__reduce_cython__,
    color_module.__setstate_cython__,
)


# ---------------------------------------------------------------------------
# Construction and re-initialisation.

CONSTRUCTION = [
    pytest.param(lambda: Color(r=1, g=2, b=3, a=4), None, id="keywords"),
    pytest.param(lambda: Color(1, 2, b=3), None, id="mixed"),
    pytest.param(lambda: Color(**{"b": 3, "g": 2, "r": 1}), None, id="keyword-dict"),
    pytest.param(lambda: Color(300, -5, 2**31 - 1, -(2**31)), None, id="clamped"),
    pytest.param(lambda: Color(2**30, -(2**30), 2**31 - 1, 5), None, id="two-digit-ints"),
    pytest.param(lambda: Color(True, False, 2), None, id="bools"),
    pytest.param(lambda: Color(1.9, -3.99, 3.0), None, id="floats"),
    pytest.param(lambda: Color(int_like, int_like, int_like, int_like), None, id="__int__"),
    pytest.param(lambda: Color(int_subclass, 1, 2), None, id="int-subclass"),
    pytest.param(lambda: Color.__new__(Color), None, id="__new__"),
    pytest.param(lambda: Color.__new__(Color, 1, 2, 3, x=4), None, id="__new__-arguments"),
    pytest.param(lambda: colour.__init__(10, 20, 30, 40), None, id="re-init"),
    pytest.param(lambda: Color.__init__(colour, **{"r": 10, "g": 20, "b": 30, "a": 40}), None,
                 id="re-init-keyword-dict"),
    pytest.param(lambda: colour.__init__(10, 20, b=30, a=40), None, id="re-init-mixed"),
    pytest.param(lambda: Sub(1, 2, 3), None, id="subclass"),
    pytest.param(lambda: Sub(r=1, g=2, b=3, a=4), None, id="subclass-keywords"),
    pytest.param(lambda: SlotsSub(1, 2, 3), None, id="slots-subclass"),
    pytest.param(lambda: Sub.__new__(Sub), None, id="subclass-__new__"),
    pytest.param(lambda: InitOverride(1, 2, b=3), None, id="super-init"),
]

CONSTRUCTION_ERRORS = [
    pytest.param(lambda: Color(), TypeError, id="no-arguments"),
    pytest.param(lambda: Color(1, 2, 3, 4, 5, a=6), TypeError, id="five-positional-keyword"),
    pytest.param(lambda: Color(1, b=3), TypeError, id="missing-g"),
    pytest.param(lambda: Color(1, 2, x=3), TypeError, id="unexpected-keyword"),
    pytest.param(lambda: Color(1, 2, 3, x=1, r=2), TypeError, id="unexpected-before-multiple"),
    pytest.param(lambda: Color(**{1: 2}), TypeError, id="non-string-key"),
    pytest.param(lambda: Color(1, 2, 3, None), TypeError, id="None-alpha"),
    pytest.param(lambda: Color(raising_int, int_like, int_like), ArithmeticError,
                 id="__int__-raises"),
    pytest.param(lambda: Color(1, 2, 3, 2**31), OverflowError, id="overflow-alpha"),
    pytest.param(lambda: colour.__init__(5, 6, "x"), TypeError, id="re-init-error"),
    pytest.param(lambda: Color.__init__(colour, 1, 2, **{"x": 3}), TypeError,
                 id="re-init-keyword-dict-error"),
    pytest.param(lambda: Color.__init__(colour, 1, 2, **{"r": 3}), TypeError,
                 id="re-init-keyword-dict-multiple"),
    pytest.param(lambda: Color.__init__(colour, 1, 2, 3, a=huge_int), OverflowError,
                 id="re-init-keyword-dict-conversion"),
    pytest.param(lambda: Color.__init__(colour, r=1, g=2), TypeError,
                 id="re-init-keyword-dict-missing"),
    pytest.param(lambda: Sub(1, 2), TypeError, id="subclass-count"),
    pytest.param(lambda: Sub(1, 2, x=3), TypeError, id="subclass-unexpected"),
    pytest.param(lambda: Sub(1, 2, 3, r=1), TypeError, id="subclass-multiple"),
    pytest.param(lambda: Sub(1, 2, "3"), TypeError, id="subclass-conversion"),
    pytest.param(lambda: InitOverride(1, 2, c=3), TypeError, id="super-init-unexpected"),
    pytest.param(lambda: AbstractColor(1, 2, 3), TypeError, id="abstract-subclass"),
]


@pytest.mark.parametrize("operation, expected", CONSTRUCTION + CONSTRUCTION_ERRORS)
def test_construction_does_not_leak(operation, expected):
    assert_no_leak(operation, expected)


# ---------------------------------------------------------------------------
# Conversion failures, through construction and through every setter.

CONVERSION_FAILURES = [
    pytest.param(None, TypeError, id="None"),
    pytest.param(text_value, TypeError, id="str"),
    pytest.param(b"1", TypeError, id="bytes"),
    pytest.param(index_only, TypeError, id="__index__-only"),
    pytest.param(raising_int, ArithmeticError, id="__int__-raises"),
    pytest.param(float_int, TypeError, id="__int__-returns-float"),
    pytest.param(huge_int, OverflowError, id="__int__-returns-2**40"),
    pytest.param(very_huge_int, OverflowError, id="__int__-returns-2**70"),
    pytest.param(float("nan"), ValueError, id="nan"),
    pytest.param(float("inf"), OverflowError, id="inf"),
    pytest.param(1e10, OverflowError, id="1e10"),
    *(pytest.param(value, OverflowError, id=f"int-{value:#x}") for value in big_values),
]

CHANNEL_NAMES = ["r", "g", "b", "a", "red", "green", "blue", "alpha"]


@pytest.mark.parametrize("value, expected", CONVERSION_FAILURES)
@pytest.mark.parametrize("route", ["construction", "re-init", "setter"])
def test_conversion_failure_does_not_leak(route, value, expected):
    operations = {
        "construction": lambda: Color(1, 2, 3, value),
        "re-init": lambda: Color.__init__(colour, 1, value, 3, a=4),
        "setter": lambda: setattr(colour, "blue", value),
    }
    assert_no_leak(operations[route], expected, watched=[value])


@pytest.mark.parametrize("route", ["construction", "setter"])
@pytest.mark.parametrize("action", ["ignore", "error"])
def test_int_subclass_from_int_does_not_leak(route, action):
    operations = {
        "construction": lambda: Color(1, 2, bool_int),
        "setter": lambda: setattr(colour, "g", bool_int),
    }
    operation = operations[route]

    def under_filter():
        with warnings.catch_warnings():
            warnings.simplefilter(action, DeprecationWarning)
            operation()

    assert_no_leak(under_filter, DeprecationWarning if action == "error" else None)


# ---------------------------------------------------------------------------
# Channel properties.


@pytest.mark.parametrize("name", CHANNEL_NAMES)
@pytest.mark.parametrize(
    "action, expected",
    [
        pytest.param("read", None, id="read"),
        pytest.param("write", None, id="write"),
        pytest.param("write-clamped", None, id="write-clamped"),
        pytest.param("write-__int__", None, id="write-__int__"),
        pytest.param("write-float", None, id="write-float"),
        pytest.param("write-None", TypeError, id="write-None"),
        pytest.param("write-overflow", OverflowError, id="write-overflow"),
        pytest.param("delete", NotImplementedError, id="delete"),
    ],
)
def test_property_access_does_not_leak(name, action, expected):
    operations = {
        "read": lambda: getattr(colour, name),
        "write": lambda: setattr(colour, name, 100),
        "write-clamped": lambda: setattr(colour, name, -1),
        "write-__int__": lambda: setattr(colour, name, int_like),
        "write-float": lambda: setattr(colour, name, 12.7),
        "write-None": lambda: setattr(colour, name, None),
        "write-overflow": lambda: setattr(colour, name, 2**31),
        "delete": lambda: delattr(colour, name),
    }
    assert_no_leak(operations[action], expected)


ATTRIBUTE_ERRORS = [
    pytest.param(lambda: setattr(colour, "foo", 1), AttributeError, id="unknown-attribute"),
    pytest.param(lambda: weakref.ref(colour), TypeError, id="weakref"),
    pytest.param(lambda: colour[0], TypeError, id="index"),
    pytest.param(lambda: len(colour), TypeError, id="len"),
    pytest.param(lambda: setattr(Color, "foo", 1), TypeError, id="type-attribute"),
    pytest.param(lambda: hash(colour), None, id="hash"),
    pytest.param(lambda: colour == sub_colour, None, id="compare"),
]


@pytest.mark.parametrize("operation, expected", ATTRIBUTE_ERRORS)
def test_object_protocol_does_not_leak(operation, expected):
    assert_no_leak(operation, expected)


# ---------------------------------------------------------------------------
# Text form.

TEXT_FORM = [
    pytest.param(lambda: f"{colour}", id="f-string"),
    pytest.param(lambda: format(colour, ""), id="format"),
    pytest.param(lambda: repr(Color(255, 255, 255, 255)), id="longest"),
    pytest.param(lambda: repr(Color.__new__(Color)), id="uninitialised"),
    pytest.param(lambda: repr(PropertyOverride(1, 2, 3)), id="subclass-overriding-r"),
]


@pytest.mark.parametrize("operation", TEXT_FORM)
def test_text_form_does_not_leak(operation):
    assert_no_leak(operation)


# ---------------------------------------------------------------------------
# Iteration and the generator protocol.


def capture_traceback():
    try:
        raise KeyError("for its traceback")
    except KeyError as error:
        return error.__traceback__


a_traceback = capture_traceback()


class FailingException(Exception):
    def __init__(self, *args):
        raise LookupError("cannot make it")


def delegate():
    def outer():
        return (yield from iter(colour))

    return list(outer())


def generator_in_a_cycle():
    holder = Sub(1, 2, 3)
    holder.generator = iter(holder)
    next(holder.generator)


def generator_attributes():
    generator = generator_at(1)
    generator.gi_running, generator.gi_yieldfrom, generator.gi_code, generator.gi_frame
    generator.__name__ = "renamed"
    generator.__qualname__ = "Renamed.renamed"
    generator.__module__ = "elsewhere"
    del generator.__module__


def frame_made_while(meanwhile):
    """gi_frame, while Python code run by the namespace lookup of making the
    frame does `meanwhile` to the same generator."""
    generator = generator_at(1)
    with name_lookups_running(vars(color_module), lambda: meanwhile(generator)):
        return generator.gi_frame


def many_generators_at_once():
    generators = [iter(colour) for _ in range(20)]
    for generator in generators:
        next(generator)


ITERATION = [
    pytest.param(lambda: tuple(sub_colour), None, id="tuple-subclass"),
    pytest.param(lambda: list(PropertyOverride(1, 2, 3)), None, id="subclass-overriding-r"),
    pytest.param(lambda: 40 in colour, None, id="membership"),
    pytest.param(lambda: [*colour], None, id="unpack"),
    pytest.param(lambda: list(iter(Color(1, 2, 3))), None, id="temporary-colour"),
    pytest.param(lambda: generator_at(1), None, id="abandoned-after-r"),
    pytest.param(lambda: generator_at(3), None, id="abandoned-after-b"),
    pytest.param(lambda: generator_at(4), None, id="abandoned-after-a"),
    pytest.param(lambda: generator_at(FINISHED), None, id="exhausted"),
    pytest.param(lambda: next(generator_at(FINISHED)), StopIteration, id="next-after-end"),
    pytest.param(many_generators_at_once, None, id="more-than-the-free-list"),
    pytest.param(generator_in_a_cycle, None, id="collected-cycle"),
    pytest.param(delegate, None, id="yield-from"),
]


GENERATOR_PROTOCOL = [
    pytest.param(lambda: generator_at(FINISHED).send(None), StopIteration, id="send-finished"),
    *(
        pytest.param(lambda point=point: generator_at(point).throw(ValueError), ValueError,
                     id=f"throw-at-{point}")
        for point in range(2, 5)
    ),
    pytest.param(lambda: generator_at(1).throw(StopIteration), RuntimeError,
                 id="throw-StopIteration"),
    pytest.param(lambda: generator_at(1).throw(ValueError("given")), ValueError,
                 id="throw-instance"),
    pytest.param(lambda: generator_at(1).throw(ValueError, "value"), ValueError,
                 id="throw-class-value"),
    pytest.param(lambda: generator_at(1).throw(ValueError, ("a", "b")), ValueError,
                 id="throw-class-tuple"),
    pytest.param(lambda: generator_at(2).throw(ValueError, None, a_traceback), ValueError,
                 id="throw-traceback"),
    pytest.param(lambda: generator_at(1).throw(FailingException), LookupError,
                 id="throw-class-failing"),
    pytest.param(lambda: generator_at(1).throw(ValueError, 1, None, 4), TypeError,
                 id="throw-four-arguments"),
    pytest.param(generator_attributes, None, id="attributes"),
    pytest.param(lambda: frame_made_while(lambda g: g.gi_frame), None,
                 id="gi_frame-read-while-made"),
    pytest.param(lambda: frame_made_while(lambda g: g.close()), None,
                 id="gi_frame-closed-while-made"),
    pytest.param(lambda: setattr(iter(colour), "__name__", 5), TypeError, id="bad-__name__"),
    pytest.param(lambda: delattr(iter(colour), "__qualname__"), TypeError,
                 id="delete-__qualname__"),
    pytest.param(lambda: weakref.ref(iter(colour)), None, id="weakref"),
    pytest.param(lambda: pickle.dumps(iter(colour)), TypeError, id="pickle"),
    pytest.param(lambda: copy.copy(generator_at(1)), TypeError, id="copy"),
    pytest.param(lambda: type(iter(colour))(), TypeError, id="instantiate-type"),
]


@pytest.mark.parametrize("operation, expected", ITERATION + GENERATOR_PROTOCOL)
def test_iteration_does_not_leak(operation, expected):
    assert_no_leak(operation, expected, watched=[a_traceback])


# ---------------------------------------------------------------------------
# Pickling refusal and the module-level functions.

PICKLING = [
    pytest.param(lambda: pickle.dumps([colour], protocol=0), id="pickle-list-protocol-0"),
    pytest.param(lambda: pickle.dumps(sub_colour), id="pickle-subclass"),
    pytest.param(lambda: colour.__setstate__({}), id="__setstate__-dict"),
    pytest.param(lambda: colour.__setstate__(1, 2), id="__setstate__-two-arguments"),
    pytest.param(lambda: colour.__setstate__(x=1), id="__setstate__-unexpected"),
    pytest.param(lambda: Color.__reduce__(colour), id="type-__reduce__"),
    pytest.param(lambda: color_module.__reduce_cython__(colour, 1), id="function-reduce-extra"),
    pytest.param(lambda: color_module.__reduce_cython__(colour, protocol=1),
                 id="function-reduce-keyword"),
    pytest.param(lambda: color_module.__setstate_cython__(), id="function-setstate-no-argument"),
    pytest.param(lambda: color_module.__setstate_cython__(colour, x=None),
                 id="function-setstate-unexpected"),
]


@pytest.mark.parametrize("operation", PICKLING)
def test_pickling_refusal_does_not_leak(operation):
    assert_no_leak(operation, TypeError)


def function_attributes():
    for function in (color_module.__reduce_cython__, color_module.__setstate_cython__):
        function.__name__, function.__qualname__, function.__module__
        function.__globals__, function.__code__, function.__doc__, repr(function)


MODULE_SURFACE = [
    pytest.param(function_attributes, None, id="function-attributes"),
    pytest.param(lambda: setattr(color_module.__reduce_cython__, "__name__", 1), TypeError,
                 id="function-bad-__name__"),
    pytest.param(lambda: pickle.dumps(ReducingSub(1, 2, 3)), None,
                 id="subclass-with-own-__reduce__"),
    pytest.param(lambda: Color.__pyx_vtable__, None, id="vtable-capsule"),
    pytest.param(lambda: colour.__pyx_vtable__, None, id="vtable-through-instance"),
]


@pytest.mark.parametrize("operation, expected", MODULE_SURFACE)
def test_module_surface_does_not_leak(operation, expected):
    assert_no_leak(operation, expected)


# ---------------------------------------------------------------------------
# Subclasses whose instances run __del__, or come back to life in it.


def resurrect_once():
    Resurrecting(1, 2, 3)
    resurrected.clear()


@pytest.mark.parametrize(
    "operation",
    [
        pytest.param(lambda: WithDel(1, 2, 3), id="__del__"),
        pytest.param(lambda: WithDel.__new__(WithDel), id="__del__-uninitialised"),
        pytest.param(lambda: SlotsWithDel(1, 2, 3), id="__del__-without-gc"),
        pytest.param(lambda: list(WithDel(1, 2, 3)), id="__del__-after-iteration"),
        pytest.param(lambda: generator_at(2, WithDel(1, 2, 3)), id="__del__-abandoned-iterator"),
        pytest.param(resurrect_once, id="resurrected"),
    ],
)
def test_subclass_finaliser_does_not_leak(operation):
    before = deleted[0]
    assert_no_leak(operation)
    if operation is not resurrect_once:
        # Every instance made by the harness ran its finaliser once.
        assert deleted[0] - before == 1 + WARMUP + ROUNDS * CALLS


# ---------------------------------------------------------------------------
# The native interface, through the test-only consumer module.

NATIVE = [
    pytest.param(lambda consumer: consumer.new_many(20), None, id="new-many"),
    pytest.param(lambda consumer: consumer.call_type_many(20), None, id="call-type"),
    pytest.param(lambda consumer: consumer.clamp_byte(300), None, id="clamp_byte"),
    pytest.param(lambda consumer: consumer.raw(colour), None, id="raw"),
    pytest.param(lambda consumer: consumer.set_raw(colour, 10, 20, 30, 40), None, id="set-raw"),
    pytest.param(lambda consumer: consumer.capsule_pointer(None), None, id="capsule"),
    pytest.param(lambda consumer: consumer.capsule_pointer("named"), ValueError,
                 id="capsule-wrong-name"),
]


@pytest.mark.parametrize("operation, expected", NATIVE)
def test_native_interface_does_not_leak(consumer, operation, expected):
    assert_no_leak(lambda: operation(consumer), expected)


# ---------------------------------------------------------------------------
# The harness itself must see a leak of one block, or one reference, per call;
# on a debug interpreter, also a reference lost now and then, or given up.

needs_total_references = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="only a debug interpreter counts all references")

hoard = []


def leak_one_block():
    hoard.append(object())


def leak_one_reference():
    hoard.append(colour)


call_numbers = itertools.count(1)


def leak_a_reference_now_and_then():
    # One call in ten: twenty references a round, too few for the watched
    # object's threshold.
    if next(call_numbers) % 10 == 0:
        hoard.append(colour)


def give_up_one_reference():
    hoard.pop()


@pytest.mark.parametrize(
    "operation, counter",
    [
        pytest.param(leak_one_block, "blocks", id="one-block-per-call"),
        pytest.param(leak_one_reference, "references to watched object 0", id="one-reference"),
        pytest.param(leak_a_reference_now_and_then, TOTAL_REFERENCES,
                     id="one-reference-now-and-then", marks=needs_total_references),
        pytest.param(give_up_one_reference, TOTAL_REFERENCES,
                     id="one-reference-given-up", marks=needs_total_references),
    ],
)
def test_harness_catches_one_leak_per_call(operation, counter):
    if operation is give_up_one_reference:
        hoard.extend([colour] * (WARMUP + ROUNDS * CALLS))
    try:
        growth = measure_growth(operation, None, SHARED_OBJECTS)
    finally:
        hoard.clear()
    (name,) = [name for name in growth if name.startswith(counter)]
    assert name in leaking(growth), growth[name]


def test_harness_tolerates_a_cache_that_fills_once():
    cache = {}

    def fill_cache():
        if len(cache) < 50:
            cache[len(cache)] = object()

    growth = measure_growth(fill_cache, None, SHARED_OBJECTS)
    assert not leaking(growth), growth


# Built for a debug interpreter, the native builds must be compiled with
# Py_DEBUG too, or none of the interpreter's checks of them run and their
# own Py_INCREF and Py_DECREF bypass the total reference count.  Each
# operation releases references that the interpreter counted when it made
# the objects: the int returned by __int__, the colours made through color.h.
@needs_total_references
@pytest.mark.parametrize(
    "operation, expected",
    [
        pytest.param(lambda consumer: Color(1, 2, 3, huge_int), OverflowError, id="module"),
        pytest.param(lambda consumer: consumer.new_many(20), None, id="test-build"),
    ],
)
def test_native_builds_count_references_on_a_debug_interpreter(consumer, operation, expected):
    growth = measure_growth(lambda: operation(consumer), expected, ())
    assert not leaking(growth), (
        f"the total reference count moved by {growth[TOTAL_REFERENCES]} in rounds of "
        f"{CALLS} calls: is this build missing the interpreter's Py_DEBUG?")


# ---------------------------------------------------------------------------
# The catalogue of operations that the allocation-failure sweep drives
# (fault_injection/operations.py): each must give what its row says, and
# leave nothing behind.

CATALOGUE = [name for name in NAMES if operations(None)[name][0] is not None]


@pytest.mark.parametrize("name", CATALOGUE)
def test_catalogued_operation_does_not_leak(consumer, name):
    setup, act, _, gives = operations(consumer)[name]

    def operation():
        function, *arguments = act(setup())
        return function(*arguments)

    try:
        result, exception = operation(), None
    except BaseException as error:
        result, exception = None, error
    assert unmet(gives, result, exception) is None
    result = exception = None
    assert_no_leak(operation, gives[1] if gives[0] == "raises" else None)
