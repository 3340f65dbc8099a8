"""Construction of colours: argument matching, argument errors, conversion order, re-initialisation.

Every case runs through each way of reaching `__init__`: `Color(...)` (which may
take a fast call path), `type.__call__(Color, ...)` (the generic one), a Python
subclass that does not override `__init__`, and `c.__init__(...)` on an existing
colour.  They must agree on results, messages and traceback entries.
"""

import ctypes
import functools
import gc
import json
import sys
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import (
    INIT_ENTRY,
    SETTER_ENTRIES,
    Sub,
    channels,
    clamp,
    module_entries,
    run_with_injector,
)
from vantel.color.color import Color

OLD = (9, 8, 7, 6)


def reinit(args, kwargs):
    """Re-initialises an existing colour; a failure must leave it as it was."""
    c = Color(*OLD)
    try:
        assert c.__init__(*args, **kwargs) is None
    except BaseException:
        assert channels(c) == OLD
        raise
    return c


# Each route takes the positional tuple and the keyword dictionary as they are, so
# that a dictionary with non-string keys reaches the call unchanged.
CALLS = {
    "Color()": lambda args, kwargs: Color(*args, **kwargs),
    "type.__call__": lambda args, kwargs: type.__call__(Color, *args, **kwargs),
    "subclass": lambda args, kwargs: Sub(*args, **kwargs),
    "__init__": reinit,
}


@pytest.fixture(params=list(CALLS))
def make(request):
    return CALLS[request.param]


def keyword_text(key, value):
    return f"{key}={value!r}" if isinstance(key, str) else f"**{{{key!r}: {value!r}}}"


def cases(rows):
    """Parametrize rows whose first two items are the arguments, each named after its call."""
    params = []
    for args, kwargs, *rest in rows:
        text = ", ".join([*map(repr, args), *(keyword_text(*item) for item in kwargs.items())])
        params.append(pytest.param(args, kwargs, *rest, id=f"({text})"))
    return params


def rejected_before_init(make, kwargs):
    """Whether the interpreter refuses the call before `__init__` runs.

    `Color(...)` takes the fast call path, and unpacking a dictionary with a
    non-string key into it fails in the interpreter itself: "keywords must be
    strings", with no entry of the module.  The generic routes pass the
    dictionary on, and `__init__` reports it.
    """
    return make is CALLS["Color()"] and not all(isinstance(key, str) for key in kwargs)


def check_failure(make, args, kwargs, exc_type, message):
    with pytest.raises(BaseException) as info:
        make(args, kwargs)
    if rejected_before_init(make, kwargs):
        assert type(info.value) is TypeError
        assert str(info.value) == "keywords must be strings"
        assert module_entries(info.value) == []
        return
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert module_entries(info.value) == [INIT_ENTRY]


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    cases(
        [
            ((10, 20, 30), {}, (10, 20, 30, 255)),
            ((10, 20, 30, 40), {}, (10, 20, 30, 40)),
            ((), {"r": 10, "g": 20, "b": 30, "a": 40}, (10, 20, 30, 40)),
            ((), {"a": 40, "b": 30, "g": 20, "r": 10}, (10, 20, 30, 40)),
            ((10, 20), {"b": 30}, (10, 20, 30, 255)),
            ((), {"b": 30, "g": 20, "r": 10}, (10, 20, 30, 255)),
            ((10,), {"a": 40, "b": 30, "g": 20}, (10, 20, 30, 40)),
            ((10, 20, 30), {"a": 40}, (10, 20, 30, 40)),
            ((10, 20, 30), {"a": 255}, (10, 20, 30, 255)),
            ((0, 0, 0, 0), {}, (0, 0, 0, 0)),
            ((255, 255, 255, 255), {}, (255, 255, 255, 255)),
            ((-1, 256, 1000, -1000), {}, (0, 255, 255, 0)),
            ((2**31 - 1, -(2**31), 128, 2**30 + 7), {}, (255, 0, 128, 255)),
            ((True, False, 2), {}, (1, 0, 2, 255)),
            ((1.9, 2, 3), {}, (1, 2, 3, 255)),
            ((Decimal("7.9"), Fraction(9, 2), 3.0), {"a": -0.5}, (7, 4, 3, 0)),
        ]
    ),
)
def test_channels_after_construction(make, args, kwargs, expected):
    c = make(args, kwargs)
    assert channels(c) == expected
    assert type(c) is (Sub if make is CALLS["subclass"] else Color)


def at_least(given):
    return f"__init__() takes at least 3 positional arguments ({given} given)"


def at_most(given):
    return f"__init__() takes at most 4 positional arguments ({given} given)"


def multiple(key):
    return f"__init__() got multiple values for keyword argument '{key}'"


def unexpected(key):
    return f"__init__() got an unexpected keyword argument '{key}'"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    cases(
        [
            # Counting positional arguments without keywords.
            ((), {}, at_least(0)),
            ((1,), {}, at_least(1)),
            ((1, 2), {}, at_least(2)),
            ((1, 2, 3, 4, 5), {}, at_most(5)),
            ((1,) * 9, {}, at_most(9)),
            ((None,), {}, at_least(1)),
            ((None,) * 5, {}, at_most(5)),
            # Too many positionals is reported before any keyword is looked at.
            ((1, 2, 3, 4, 5), {"a": 6}, at_most(5)),
            ((1, 2, 3, 4, 5), {"x": 6}, at_most(5)),
            ((1, 2, 3, 4, 5, 6), {1: 2}, at_most(6)),
            # Keys that are not strings.
            ((), {1: 2}, "keywords must be strings"),
            ((1, 2, 3), {"x": 1, 1: 2}, "keywords must be strings"),
            ((1, 2), {(): 3}, "keywords must be strings"),
            # Keywords that clash with positionals or name nothing.
            ((1, 2, 3), {"r": 4}, multiple("r")),
            ((1, 2, 3, 4), {"a": 5}, multiple("a")),
            ((1, 2, 3), {"a": 4, "g": 5}, multiple("g")),
            ((1, 2), {"b": 3, "r": 1}, multiple("r")),
            ((1, 2), {"r": 1, "b": 3}, multiple("r")),
            ((1, 2), {"x": 3}, unexpected("x")),
            ((1, 2, 3, 4), {"x": 5}, unexpected("x")),
            ((), {"r": 1, "g": 2, "b": 3, "a": 4, "x": 5}, unexpected("x")),
            ((), {"red": 1, "green": 2, "blue": 3}, unexpected("red")),
            ((1, 2, 3), {"ξ": 1}, unexpected("ξ")),
            # With two offending keys the first in the dictionary decides.
            ((1, 2, 3), {"x": 1, "r": 2}, unexpected("x")),
            ((1, 2, 3), {"r": 2, "x": 1}, multiple("r")),
            # Required parameters still missing after keywords: "given" counts the
            # parameters filled before the first missing one.
            ((1,), {"b": 3}, at_least(1)),
            ((), {"g": 2, "b": 3}, at_least(0)),
            ((), {"r": 1, "g": 2}, at_least(2)),
            ((), {"r": 1, "b": 3, "a": 4}, at_least(1)),
            ((), {"a": 4}, at_least(0)),
            ((1, 2), {"a": 4}, at_least(2)),
            ((), {"g": 2, "b": 3, "a": 4}, at_least(0)),
            ((None,), {"b": 3, "a": 4}, at_least(1)),
            # Matching comes before any conversion.
            ((None, 2), {"x": 3}, unexpected("x")),
            (("x", "y", "z"), {"r": 1}, multiple("r")),
        ]
    ),
)
def test_argument_errors(make, args, kwargs, message):
    check_failure(make, args, kwargs, TypeError, message)


@pytest.mark.parametrize(
    ("args", "kwargs", "exc_type", "message"),
    cases(
        [
            ((1, 2, 3, None), {}, TypeError, "an integer is required"),
            ((1, 2, 3), {"a": None}, TypeError, "an integer is required"),
            ((None, 2, 3), {}, TypeError, "an integer is required"),
            ((0, "1", 0), {}, TypeError, "an integer is required"),
            ((1, 2), {"b": b"3"}, TypeError, "an integer is required"),
            ((2**31, 0, 0), {}, OverflowError, "value too large to convert to int"),
            ((0, -(2**31) - 1, 0), {}, OverflowError, "value too large to convert to int"),
            ((0, 0, 0), {"a": 2**62}, OverflowError, "value too large to convert to int"),
            ((0, 0, 2**64), {}, OverflowError, "Python int too large to convert to C long"),
            ((1.5, 2, 3, float("nan")), {}, ValueError, "cannot convert float NaN to integer"),
            ((1e10, 2, 3), {}, OverflowError, "value too large to convert to int"),
        ]
    ),
)
def test_conversion_errors(make, args, kwargs, exc_type, message):
    check_failure(make, args, kwargs, exc_type, message)


@pytest.mark.parametrize(
    ("args", "message"),
    [((1, 2), at_least(2)), ((), at_least(0)), ((1, 2, None), "an integer is required")],
)
def test_messages_made_once_chain_like_any_other(args, message):
    # The first failure makes the message; the second reuses it.
    for _ in range(2):
        handled = KeyError("being handled")
        try:
            raise handled
        except KeyError:
            with pytest.raises(TypeError) as info:
                Color(*args)
        assert info.value.args == (message,)
        assert info.value.__context__ is handled


# Each allocation of a first failing call made to fail in turn, in a fresh
# interpreter, so that the messages kept from a first use are made under
# failure: every attempt ends in MemoryError or the right TypeError, and the
# call afterwards gives the right message.
FIRST_FAILURES_UNDER_ALLOCATION_FAILURE = """
import json, sys
from fault_injection.injector import each_failure, load_injector
from vantel.color.color import Color

injector = load_injector(sys.argv[1])
calls = {
    "__init__() takes at least 3 positional arguments (2 given)": (1, 2),
    "an integer is required": (1, 2, None),
    "": (1, 2, 3),
}
report = {}
for message, args in calls.items():
    outcomes = set()
    for _, _, exception in each_failure(injector, lambda: (Color, *args)):
        if exception is None:
            outcomes.add("")
        elif isinstance(exception, MemoryError):
            outcomes.add("MemoryError")
        elif isinstance(exception, TypeError):
            outcomes.add(str(exception))
        else:
            raise exception
    try:
        Color(*args)
        final = ""
    except TypeError as error:
        final = str(error)
    report[message] = {"outcomes": sorted(outcomes), "final": final}
print(json.dumps(report))
"""


def test_first_failures_survive_every_allocation_failure(injector_path):
    report = json.loads(
        run_with_injector(FIRST_FAILURES_UNDER_ALLOCATION_FAILURE, injector_path).stdout
    )
    for message, result in report.items():
        assert result == {"outcomes": sorted(["MemoryError", message]), "final": message}


# The traceback entry of a function's first failure makes the entry's code
# object.  Each allocation of such a failure (a channel store refused with a
# message already made) fails in turn, each in a child forked before the
# code object exists.  A failure to make it replaces the pending exception
# and adds no entry, and is the only way to a MemoryError with neither an
# entry nor a context.
FIRST_ENTRY_UNDER_ALLOCATION_FAILURE = """
import json, os, sys
from fault_injection.injector import load_injector
from support import module_entries
from vantel.color.color import Color

injector = load_injector(sys.argv[1])
colour = Color(1, 2, 3)
try:
    Color(1, 2, None)  # makes the message, but not the store's code object
except TypeError:
    pass
outcomes = set()
fired = True
n = 1
while fired:
    read_end, write_end = os.pipe()
    if os.fork() == 0:
        fired, _, exception = injector.call(n, setattr, colour, "r", None)
        context = exception.__context__
        outcome = [fired, type(exception).__name__, module_entries(exception),
                   None if context is None else type(context).__name__]
        os.write(write_end, json.dumps(outcome).encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as reader:
        fired, *outcome = json.loads(reader.read())
    os.wait()
    outcomes.add(json.dumps(outcome))
    n += 1
print(json.dumps([json.loads(outcome) for outcome in sorted(outcomes)]))
"""


def test_a_failure_to_make_an_entry_replaces_the_exception_or_leaves_it_without_entry(
    injector_path,
):
    outcomes = json.loads(
        run_with_injector(FIRST_ENTRY_UNDER_ALLOCATION_FAILURE, injector_path).stdout
    )
    entry = [list(SETTER_ENTRIES["r"])]
    code_object_failed = ["MemoryError", [], None]
    assert code_object_failed in outcomes
    assert all(
        outcome
        in [
            ["TypeError", entry, None],  # unfailed
            ["MemoryError", entry, None],  # the exception
            code_object_failed,
            ["TypeError", [], None],  # the frame
            ["MemoryError", [], "TypeError"],  # the traceback
        ]
        for outcome in outcomes
    ), outcomes


class Recorded:
    """An argument whose __int__ logs its name, then returns `result` or raises it."""

    def __init__(self, log, name, result):
        self.log = log
        self.name = name
        self.result = result

    def __int__(self):
        self.log.append(self.name)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Stop(Exception):
    pass


def recorded(log, pairs):
    """Builds one Recorded argument per (name, result) pair of `pairs`."""
    return {name: Recorded(log, name, result) for name, result in pairs}


@pytest.mark.parametrize(
    ("pairs", "use_keywords", "expected_log", "expected"),
    [
        ([("r", 1), ("g", 2), ("b", 3), ("a", 4)], False, ["r", "g", "b", "a"], (1, 2, 3, 4)),
        ([("a", 4), ("b", 3), ("g", 2), ("r", 1)], True, ["r", "g", "b", "a"], (1, 2, 3, 4)),
        ([("b", 300), ("r", -1), ("g", 2)], True, ["r", "g", "b"], (0, 2, 255, 255)),
        ([("r", 1), ("g", 2), ("b", 3)], False, ["r", "g", "b"], (1, 2, 3, 255)),
    ],
)
def test_conversions_run_in_parameter_order(make, pairs, use_keywords, expected_log, expected):
    log = []
    values = recorded(log, pairs)
    if use_keywords:
        c = make((), values)
    else:
        c = make(tuple(values.values()), {})
    assert log == expected_log
    assert channels(c) == expected


@pytest.mark.parametrize(
    ("failing", "expected_log"),
    [("r", ["r"]), ("g", ["r", "g"]), ("b", ["r", "g", "b"]), ("a", ["r", "g", "b", "a"])],
)
def test_first_failing_conversion_ends_init(make, failing, expected_log):
    log = []
    stop = Stop(failing)
    values = recorded(log, [(name, stop if name == failing else 5) for name in "rgba"])
    with pytest.raises(Stop) as info:
        make(tuple(values.values()), {})
    assert info.value is stop
    assert module_entries(info.value) == [INIT_ENTRY]
    assert log == expected_log


@pytest.mark.parametrize(
    ("position", "expected_log"),
    [(0, []), (1, ["r"]), (2, ["r", "g"]), (3, ["r", "g", "b"])],
)
def test_value_without_int_stops_later_conversions(make, position, expected_log):
    log = []
    args = list(recorded(log, [(name, 5) for name in "rgba"]).values())
    args[position] = None
    with pytest.raises(TypeError) as info:
        make(args, {})
    assert str(info.value) == "an integer is required"
    assert module_entries(info.value) == [INIT_ENTRY]
    assert log == expected_log


@pytest.mark.parametrize(
    ("extra_args", "kwargs"),
    cases([((), {"x": 1}), ((), {"r": 1}), ((5, 6), {}), ((5, 6), {"a": 1}), ((), {1: 2})]),
)
def test_argument_errors_run_no_conversion(make, extra_args, kwargs):
    log = []
    args = (*recorded(log, [(name, 5) for name in "rgb"]).values(), *extra_args)
    with pytest.raises(TypeError) as info:
        make(args, kwargs)
    expected_entries = [] if rejected_before_init(make, kwargs) else [INIT_ENTRY]
    assert module_entries(info.value) == expected_entries
    assert log == []


def test_missing_argument_runs_no_conversion(make):
    log = []
    values = recorded(log, [("r", 1), ("b", 3)])
    with pytest.raises(TypeError) as info:
        make((), values)
    assert str(info.value) == "__init__() takes at least 3 positional arguments (1 given)"
    assert module_entries(info.value) == [INIT_ENTRY]
    assert log == []


def test_reinitialisation_replaces_or_keeps_all_channels():
    c = Color(1, 2, 3, 4)
    assert c.__init__(5, 6, 7) is None
    assert channels(c) == (5, 6, 7, 255)
    with pytest.raises(TypeError) as info:
        c.__init__(5, 6, "x")
    assert str(info.value) == "an integer is required"
    assert module_entries(info.value) == [INIT_ENTRY]
    assert channels(c) == (5, 6, 7, 255)
    with pytest.raises(TypeError) as info:
        Color.__init__(c, 1)
    assert str(info.value) == "__init__() takes at least 3 positional arguments (1 given)"
    assert module_entries(info.value) == [INIT_ENTRY]
    assert channels(c) == (5, 6, 7, 255)
    Color.__init__(c, 10, 20, 30, a=40)
    assert channels(c) == (10, 20, 30, 40)


@pytest.mark.parametrize("cls", [Color, Sub])
def test_init_of_created_colour(cls):
    c = cls.__new__(cls)
    assert channels(c) == (0, 0, 0, 0)
    with pytest.raises(OverflowError):
        c.__init__(1, 2, 2**40)
    assert channels(c) == (0, 0, 0, 0)
    c.__init__(1, 2, 3)
    assert channels(c) == (1, 2, 3, 255)


def test_subclass_init_through_super():
    class Opaque(Color):
        def __init__(self, r, g, b):
            super().__init__(r, g, b, 255)

    assert channels(Opaque(1, 2, 300)) == (1, 2, 255, 255)
    with pytest.raises(TypeError) as info:
        Opaque(1, 2, None)
    assert str(info.value) == "an integer is required"
    assert module_entries(info.value) == [INIT_ENTRY]


class Meddling:
    """An argument whose __int__ runs `action` on the colour being initialised first."""

    def __init__(self, action, result):
        self.action = action
        self.result = result
        self.target = None

    def __int__(self):
        self.action(self.target)
        return self.result


def set_green(c):
    c.g = 99


def set_everything(c):
    c.r, c.g, c.b, c.a = 200, 201, 202, 203


def reinitialise(c):
    c.__init__(200, 201, 202, 203)


@pytest.mark.parametrize("action", [set_green, set_everything, reinitialise])
@pytest.mark.parametrize("position", [0, 1, 2, 3])
def test_final_store_overwrites_what_int_did(action, position):
    c = Color(1, 2, 3, 4)
    args = [10, 20, 30, 40]
    meddler = Meddling(action, args[position])
    meddler.target = c
    args[position] = meddler
    c.__init__(*args)
    assert channels(c) == (10, 20, 30, 40)


def test_colour_untouched_until_every_conversion_succeeded():
    c = Color(1, 2, 3, 4)
    seen = []
    snapshot = Meddling(lambda target: seen.append(channels(target)), 40)
    snapshot.target = c
    c.__init__(10, 20, 30, snapshot)
    assert seen == [(1, 2, 3, 4)]
    assert channels(c) == (10, 20, 30, 40)


def test_failed_init_does_not_store_earlier_conversions():
    c = Color(1, 2, 3, 4)
    with pytest.raises(TypeError):
        c.__init__(10, 20, 30, None)
    assert channels(c) == (1, 2, 3, 4)


int32 = st.integers(min_value=-(2**31), max_value=2**31 - 1)


@settings(max_examples=200, deadline=None)
@given(values=st.lists(int32, min_size=3, max_size=4))
@pytest.mark.parametrize("route", list(CALLS))
def test_any_32_bit_arguments_are_clamped(route, values):
    c = CALLS[route](values, {})
    expected = [clamp(v) for v in values] + [255] * (4 - len(values))
    assert channels(c) == tuple(expected)


def test_init_releases_its_keyword_arguments_when_an_int_empties_them():
    # __init__ reached through tp_init gets the caller's keyword dictionary,
    # which an __int__ can find and empty: whether the bound arguments are
    # owned was decided before, and they are released all the same.
    class EmptiesKeywords:
        def __int__(self):
            for referrer in gc.get_referrers(self):
                if isinstance(referrer, dict) and referrer.get("b") is self:
                    referrer.clear()
            return 7

    value = EmptiesKeywords()
    colour = Color(0, 0, 0)
    before = sys.getrefcount(value)
    colour.__init__(1, 2, b=value)
    assert sys.getrefcount(value) == before
    assert channels(colour) == (1, 2, 7, 255)


def init_through_tp_init(colour, names, values):
    # A partial restored from a state carries any keyword dictionary, and
    # hands it to the slot wrapper of __init__ unchecked.
    call = functools.partial(Color.__init__)
    call.__setstate__(
        (Color.__init__, (colour, 4, 5, 6), dict(zip(names, values, strict=True)), None)
    )
    return call()


def call_through_vectorcall(colour, names, values):
    # C code may pass any keyword names to the vectorcall entry.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [
        ctypes.py_object,
        ctypes.POINTER(ctypes.py_object),
        ctypes.c_size_t,
        ctypes.py_object,
    ]
    args = (ctypes.py_object * (3 + len(values)))(4, 5, 6, *values)
    return vectorcall(Color, args, 3, tuple(names))


# A name that is not a string is refused before any other keyword error.
@pytest.mark.parametrize("names", [[7], ["x", 7], ["r", 7]])
@pytest.mark.parametrize("route", [init_through_tp_init, call_through_vectorcall])
def test_keyword_names_that_are_not_strings_are_refused(route, names):
    colour = Color(1, 2, 3)
    with pytest.raises(TypeError) as info:
        route(colour, names, range(8, 8 + len(names)))
    assert str(info.value) == "keywords must be strings"
    assert module_entries(info.value) == [INIT_ENTRY]
    assert channels(colour) == (1, 2, 3, 255)
