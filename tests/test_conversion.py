"""Conversion of Python objects to channel integers.

Every value that enters a channel goes through the same conversion to a 32-bit
signed integer before it is clamped to a byte.  There is no direct Python access
to it, so each case is pushed along four routes: a property write, `Color(...)`,
`type.__call__(Color, ...)` and re-initialisation through `c.__init__(...)`.
"""

import math
import sys
import warnings
from decimal import Decimal
from fractions import Fraction

import pytest

from support import INIT_ENTRY, SETTER_ENTRIES, channels, module_entries
from vantel.color.color import Color

TOO_LARGE = "value too large to convert to int"
C_LONG_OVERFLOW = "Python int too large to convert to C long"
NOT_AN_INTEGER = "an integer is required"
SUBCLASS_WARNING = (
    "__int__ returned non-int (type {}).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)

START = (11, 22, 33, 44)
ROUTES = ["setter", "Color()", "type.__call__", "__init__"]
ENTRIES = {
    "setter": SETTER_ENTRIES["g"],
    "Color()": INIT_ENTRY,
    "type.__call__": INIT_ENTRY,
    "__init__": INIT_ENTRY,
}


def push(route, value):
    """Pushes `value` into the green channel of a colour along `route`; returns the colour.

    A failed push raises; the colour that existed before it (the one assigned to or
    re-initialised) must then still read START.
    """
    r, _, b, a = START
    c = Color(*START)
    try:
        if route == "setter":
            c.g = value
        elif route == "Color()":
            c = Color(r, value, b, a)
        elif route == "type.__call__":
            c = type.__call__(Color, r, value, b, a)
        else:
            assert c.__init__(r, value, b, a) is None
    except BaseException:
        assert channels(c) == START
        raise
    return c


def stored(route, value):
    """The byte that `value` leaves in the green channel; the other channels must not move."""
    c = push(route, value)
    assert (c.r, c.b, c.a) == (START[0], START[2], START[3])
    return c.g


def refused(route, value, exc_type, message):
    """Pushes `value` expecting exactly `exc_type(message)`; returns the exception."""
    with pytest.raises(BaseException) as info:
        push(route, value)
    error = info.value
    assert type(error) is exc_type, repr(error)
    assert str(error) == message
    assert module_entries(error) == [ENTRIES[route]]
    return error


class Guarded(int):
    """An int subclass whose conversion methods record that they ran and then fail."""

    def __new__(cls, value):
        self = super().__new__(cls, value)
        self.calls = []
        return self

    def __int__(self):
        self.calls.append("__int__")
        raise AssertionError("__int__ of an int subclass ran")

    def __index__(self):
        self.calls.append("__index__")
        raise AssertionError("__index__ of an int subclass ran")


class IntReturning:
    """An object whose __int__ returns a fixed object and counts its calls."""

    def __init__(self, result):
        self.result = result
        self.calls = 0

    def __int__(self):
        self.calls += 1
        return self.result


class IntRaising:
    """An object whose __int__ raises a given exception and counts its calls."""

    def __init__(self, error):
        self.error = error
        self.calls = 0

    def __int__(self):
        self.calls += 1
        raise self.error


class MyInt(int):
    pass


LongNamedInt = type("L" * 250, (int,), {})
LongNamed = type("N" * 250, (), {})


class OnlyIndex:
    def __index__(self):
        raise AssertionError("__index__ ran")


class OnlyFloat:
    def __float__(self):
        raise AssertionError("__float__ ran")


class OnlyTrunc:
    def __trunc__(self):
        raise AssertionError("__trunc__ ran")


class CustomError(Exception):
    pass


@pytest.fixture(params=ROUTES)
def route(request):
    return request.param


# Integers: the 32-bit range is accepted and then clamped; digit boundaries of the
# platform's int representation (30-bit digits) sit at 2**30 and 2**60.
@pytest.mark.parametrize(
    ("value", "byte"),
    [
        (0, 0),
        (1, 1),
        (128, 128),
        (255, 255),
        (256, 255),
        (-1, 0),
        (-7, 0),
        (-255, 0),
        (2**30 - 1, 255),
        (-(2**30 - 1), 0),
        (2**30, 255),
        (-(2**30), 0),
        (2**30 + 7, 255),
        (-(2**30 + 7), 0),
        (2**31 - 1, 255),
        (-(2**31), 0),
        (-(2**31) + 7, 0),
    ],
)
def test_integer_in_32_bits_is_clamped(route, value, byte):
    assert stored(route, value) == byte


@pytest.mark.parametrize(
    "value",
    [
        2**31,
        -(2**31) - 1,
        2**32,
        2**32 + 7,
        -(2**32 + 7),
        2**40,
        -(2**40),
        2**59 + 7,
        2**60 - 1,
        -(2**60 - 1),
        2**60,
        -(2**60),
        2**60 + 7,
        2**62,
        2**62 + 7,
        -(2**62),
        2**63 - 1,
        -(2**63),
    ],
)
def test_integer_in_64_bits_overflows(route, value):
    refused(route, value, OverflowError, TOO_LARGE)


@pytest.mark.parametrize(
    "value",
    [2**63, 2**63 + 7, -(2**63) - 1, 2**64, 2**64 + 7, -(2**64) + 7, 2**100, -(2**100)],
)
def test_integer_beyond_64_bits_gives_platform_overflow(route, value):
    refused(route, value, OverflowError, C_LONG_OVERFLOW)


@pytest.mark.parametrize(("value", "byte"), [(True, 1), (False, 0)])
def test_bool_converts_without_warning(route, value, byte):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert stored(route, value) == byte
    assert caught == []


@pytest.mark.parametrize(
    ("value", "outcome"),
    [
        (200, 200),
        (-1, 0),
        (2**30 + 7, 255),
        (-(2**31), 0),
        (2**31, (OverflowError, TOO_LARGE)),
        (2**40, (OverflowError, TOO_LARGE)),
        (-(2**63), (OverflowError, TOO_LARGE)),
        (2**70, (OverflowError, C_LONG_OVERFLOW)),
        (-(2**70), (OverflowError, C_LONG_OVERFLOW)),
    ],
)
def test_int_subclass_is_read_by_value(route, value, outcome):
    number = Guarded(value)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if isinstance(outcome, tuple):
            refused(route, number, *outcome)
        else:
            assert stored(route, number) == outcome
    assert number.calls == []
    assert caught == []


@pytest.mark.parametrize(
    ("value", "byte"),
    [
        (0.0, 0),
        (0.999, 0),
        (1.5, 1),
        (3.99, 3),
        (12.7, 12),
        (-0.5, 0),
        (-3.99, 0),
        (255.9, 255),
        (256.0, 255),
        (2147483647.9, 255),
        (-2147483648.9, 0),
        (Decimal("3.7"), 3),
        (Decimal("-3.7"), 0),
        (Decimal("255.99"), 255),
        (Decimal("1E+3"), 255),
        (Fraction(7, 2), 3),
        (Fraction(511, 2), 255),
        (Fraction(-7, 2), 0),
    ],
)
def test_number_converts_through_its_own_int(route, value, byte):
    assert stored(route, value) == byte


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (2147483648.0, TOO_LARGE),
        (-2147483649.0, TOO_LARGE),
        (1e10, TOO_LARGE),
        (-1e10, TOO_LARGE),
        (1e18, TOO_LARGE),
        (-(2.0**63), TOO_LARGE),
        (2.0**63, C_LONG_OVERFLOW),
        (9.3e18, C_LONG_OVERFLOW),
        (1e300, C_LONG_OVERFLOW),
        (Decimal(2**40), TOO_LARGE),
        (Decimal(2**70), C_LONG_OVERFLOW),
        (Fraction(2**31), TOO_LARGE),
        (Fraction(2**80, 3), C_LONG_OVERFLOW),
    ],
)
def test_number_outside_32_bits_overflows(route, value, message):
    refused(route, value, OverflowError, message)


@pytest.mark.parametrize(
    "value",
    [
        math.nan,
        -math.nan,
        math.inf,
        -math.inf,
        Decimal("NaN"),
        Decimal("sNaN"),
        Decimal("-Infinity"),
    ],
    ids=repr,
)
def test_errors_of_a_numbers_own_int_pass_through(route, value):
    with pytest.raises(BaseException) as expected:
        type(value).__int__(value)
    refused(route, value, type(expected.value), str(expected.value))


@pytest.mark.parametrize(
    "value",
    [
        "12",
        "",
        b"12",
        bytearray(b"1"),
        None,
        complex(1, 0),
        [1],
        (1,),
        object(),
        OnlyIndex(),
        OnlyFloat(),
        OnlyTrunc(),
        Color(1, 2, 3),
    ],
    ids=lambda v: type(v).__name__,
)
def test_value_without_int_is_refused(route, value):
    refused(route, value, TypeError, NOT_AN_INTEGER)


def test_native_int_failing_without_an_exception_is_refused(route, c_consumer):
    refused(route, c_consumer.SilentInt(), TypeError, NOT_AN_INTEGER)


@pytest.mark.parametrize(
    ("result", "type_name"),
    [
        (3.0, "float"),
        ("7", "str"),
        (None, "NoneType"),
        (b"7", "bytes"),
        (Decimal(7), "decimal.Decimal"),
        (LongNamed(), "N" * 200),
    ],
    ids=["float", "str", "None", "bytes", "Decimal", "long-name"],
)
def test_int_returning_non_int_is_refused(route, result, type_name):
    value = IntReturning(result)
    refused(route, value, TypeError, f"__int__ returned non-int (type {type_name})")
    assert value.calls == 1


@pytest.mark.parametrize(
    ("result", "byte"),
    [(0, 0), (77, 77), (300, 255), (-1, 0), (2**31 - 1, 255), (-(2**31), 0), (2**30 + 7, 255)],
)
def test_int_returning_int_converts(route, result, byte):
    value = IntReturning(result)
    assert stored(route, value) == byte
    assert value.calls == 1


@pytest.mark.parametrize(
    ("result", "message"),
    [
        (2**31, TOO_LARGE),
        (2**40, TOO_LARGE),
        (-(2**63), TOO_LARGE),
        (2**63, C_LONG_OVERFLOW),
        (-(2**70), C_LONG_OVERFLOW),
    ],
)
def test_int_returning_huge_int_overflows(route, result, message):
    value = IntReturning(result)
    refused(route, value, OverflowError, message)
    assert value.calls == 1


@pytest.mark.parametrize(
    ("result", "byte", "type_name"),
    [
        (True, 1, "bool"),
        (False, 0, "bool"),
        (MyInt(77), 77, "MyInt"),
        (MyInt(-5), 0, "MyInt"),
        (Guarded(300), 255, "Guarded"),
        (LongNamedInt(9), 9, "L" * 200),
    ],
    ids=["True", "False", "MyInt", "MyInt-negative", "Guarded", "long-name"],
)
def test_int_returning_int_subclass_warns_and_converts(route, result, byte, type_name):
    value = IntReturning(result)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert stored(route, value) == byte
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, SUBCLASS_WARNING.format(type_name))
    ]
    assert value.calls == 1
    if isinstance(result, Guarded):
        assert result.calls == []


def test_int_returning_huge_int_subclass_warns_then_overflows(route):
    value = IntReturning(MyInt(2**40))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        refused(route, value, OverflowError, TOO_LARGE)
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, SUBCLASS_WARNING.format("MyInt"))
    ]
    assert value.calls == 1


@pytest.mark.parametrize("result", [True, MyInt(77)], ids=["bool", "MyInt"])
def test_deprecation_turned_into_error_fails_conversion(route, result):
    value = IntReturning(result)
    message = SUBCLASS_WARNING.format(type(result).__name__)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        refused(route, value, DeprecationWarning, message)
    assert value.calls == 1


def test_deprecation_is_attributed_to_the_callers_line(route):
    """Stack level 1: the warning points at the statement that assigned or called."""
    value = IntReturning(True)
    c = Color(*START)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if route == "setter":
            line = sys._getframe().f_lineno + 1
            c.g = value
        elif route == "Color()":
            line = sys._getframe().f_lineno + 1
            c = Color(11, value, 33, 44)
        elif route == "type.__call__":
            line = sys._getframe().f_lineno + 1
            c = type.__call__(Color, 11, value, 33, 44)
        else:
            line = sys._getframe().f_lineno + 1
            c.__init__(11, value, 33, 44)
    assert channels(c) == (11, 1, 33, 44)
    assert len(caught) == 1
    assert caught[0].category is DeprecationWarning
    assert caught[0].filename == __file__
    assert caught[0].lineno == line


@pytest.mark.parametrize(
    ("exc_type", "message"),
    [
        (CustomError, "from __int__"),
        (TypeError, "custom type error"),
        (OverflowError, "custom overflow"),
        (ValueError, "custom value error"),
        (KeyboardInterrupt, ""),
    ],
)
def test_exception_of_int_passes_unchanged(route, exc_type, message):
    error = exc_type(message) if message else exc_type()
    value = IntRaising(error)
    raised = refused(route, value, exc_type, message)
    assert raised is error
    assert value.calls == 1
