"""The eight channel properties: reads, clamped writes, refused writes and deletes.

Each channel has a short and a long name sharing one byte; a write converts the
value, clamps it and stores exactly that byte, and a failed write or a delete
leaves the colour as it was.
"""

import math
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import CHANNEL_NAMES, SETTER_ENTRIES, Sub, channels, clamp, module_entries
from vantel.color.color import Color

# Each property in the type's order, and the channel it reads and writes.
NAMES = list(CHANNEL_NAMES)
CHANNEL = {name: index % 4 for index, name in enumerate(NAMES)}
SHORT_NAMES = ["r", "g", "b", "a"]
LONG_NAMES = ["red", "green", "blue", "alpha"]
START = (11, 22, 33, 44)


def with_channel(values, index, byte):
    result = list(values)
    result[index] = byte
    return tuple(result)


@pytest.fixture(params=NAMES)
def name(request):
    return request.param


@pytest.fixture(params=[Color, Sub], ids=["Color", "subclass"])
def colour(request):
    return request.param(*START)


def test_getset_descriptors_in_table_order():
    getsets = [
        key
        for key, value in Color.__dict__.items()
        if isinstance(value, types.GetSetDescriptorType)
    ]
    assert getsets == NAMES


def test_descriptor_has_no_doc(name):
    descriptor = Color.__dict__[name]
    assert isinstance(descriptor, types.GetSetDescriptorType)
    assert descriptor.__doc__ is None


def test_read_gives_plain_int_of_the_channel(name):
    c = Color(1, 128, 254, 255)
    value = getattr(c, name)
    assert type(value) is int
    assert value == (1, 128, 254, 255)[CHANNEL[name]]


@pytest.mark.parametrize(
    ("value", "byte"),
    [
        (0, 0),
        (77, 77),
        (255, 255),
        (256, 255),
        (300, 255),
        (-1, 0),
        (-5, 0),
        (2**31 - 1, 255),
        (-(2**31), 0),
        (12.7, 12),
        (True, 1),
        (False, 0),
    ],
)
def test_write_stores_clamped_byte_in_one_channel(colour, name, value, byte):
    setattr(colour, name, value)
    index = CHANNEL[name]
    assert channels(colour) == with_channel(START, index, byte)
    assert getattr(colour, SHORT_NAMES[index]) == getattr(colour, LONG_NAMES[index]) == byte


def test_named_cases():
    c = Color(*START)
    c.red = 300
    assert (c.red, c.r) == (255, 255)
    c.alpha = -5
    assert c.a == 0
    c.g = -1
    assert c.green == 0
    c.b = 2**31 - 1
    assert c.blue == 255
    assert channels(c) == (255, 0, 255, 0)


class IntRaising:
    def __int__(self):
        raise LookupError("no channel here")


class IntReturningFloat:
    def __int__(self):
        return 1.0


@pytest.mark.parametrize(
    ("value", "exc_type", "message"),
    [
        (None, TypeError, "an integer is required"),
        ("12", TypeError, "an integer is required"),
        (b"12", TypeError, "an integer is required"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**62, OverflowError, "value too large to convert to int"),
        (2**64, OverflowError, "Python int too large to convert to C long"),
        (math.nan, ValueError, "cannot convert float NaN to integer"),
        (IntReturningFloat(), TypeError, "__int__ returned non-int (type float)"),
        (IntRaising(), LookupError, "no channel here"),
    ],
    ids=[
        "None",
        "str",
        "bytes",
        "2**31",
        "-2**31-1",
        "2**62",
        "2**64",
        "nan",
        "int-float",
        "int-raises",
    ],
)
def test_refused_write_changes_nothing(colour, name, value, exc_type, message):
    with pytest.raises(BaseException) as info:
        setattr(colour, name, value)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert module_entries(info.value) == [SETTER_ENTRIES[name]]
    assert channels(colour) == START


def test_refused_write_of_none_to_blue():
    c = Color(*START)
    with pytest.raises(TypeError) as info:
        c.blue = None
    assert str(info.value) == "an integer is required"
    assert module_entries(info.value)[-1] == SETTER_ENTRIES["blue"]
    assert c.blue == 33


@pytest.mark.parametrize(
    "delete",
    [
        lambda c, name: delattr(c, name),
        lambda c, name: Color.__dict__[name].__delete__(c),
        lambda c, name: exec(f"del c.{name}"),
    ],
    ids=["delattr", "__delete__", "del"],
)
def test_delete_is_refused(colour, name, delete):
    with pytest.raises(NotImplementedError) as info:
        delete(colour, name)
    assert str(info.value) == "__del__"
    assert module_entries(info.value) == []
    assert channels(colour) == START


def test_del_statement_on_alpha():
    c = Color(*START)
    with pytest.raises(NotImplementedError) as info:
        del c.alpha
    assert str(info.value) == "__del__"
    assert module_entries(info.value) == []
    assert c.alpha == 44


class Meddling:
    """A value whose __int__ first writes `inner` through `attribute` of `target`, then returns `result`."""

    def __init__(self, target, attribute, inner, result):
        self.target = target
        self.attribute = attribute
        self.inner = inner
        self.result = result
        self.calls = 0

    def __int__(self):
        self.calls += 1
        setattr(self.target, self.attribute, self.inner)
        return self.result


def partner(name):
    """The other name of the same channel."""
    index = CHANNEL[name]
    return LONG_NAMES[index] if name in SHORT_NAMES else SHORT_NAMES[index]


@pytest.mark.parametrize("inner_name", [lambda n: n, partner], ids=["same-name", "other-name"])
def test_outer_write_of_same_channel_wins(name, inner_name):
    c = Color(*START)
    value = Meddling(c, inner_name(name), 7, 9)
    setattr(c, name, value)
    assert value.calls == 1
    assert channels(c) == with_channel(START, CHANNEL[name], 9)


def test_write_keeps_what_int_wrote_to_other_channels(name):
    c = Color(*START)
    index = CHANNEL[name]
    other = SHORT_NAMES[(index + 1) % 4]
    setattr(c, name, Meddling(c, other, 7, 9))
    expected = with_channel(with_channel(START, (index + 1) % 4, 7), index, 9)
    assert channels(c) == expected


# Integers of every magnitude, with the edges of the 32- and 64-bit ranges well covered.
any_integer = st.one_of(
    st.integers(),
    st.integers(min_value=0, max_value=130).flatmap(
        lambda k: st.integers(min_value=-(2**k), max_value=2**k)
    ),
    st.sampled_from(
        [2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1]
    ).flatmap(lambda edge: st.integers(min_value=edge - 2, max_value=edge + 2)),
)
byte = st.integers(min_value=0, max_value=255)


@settings(max_examples=200, deadline=None)
@given(value=any_integer, name=st.sampled_from(NAMES), start=st.tuples(byte, byte, byte, byte))
def test_any_integer_write(value, name, start):
    c = Color(*start)
    index = CHANNEL[name]
    if -(2**31) <= value < 2**31:
        setattr(c, name, value)
        assert channels(c) == with_channel(start, index, clamp(value))
        return
    message = (
        "value too large to convert to int"
        if -(2**63) <= value < 2**63
        else "Python int too large to convert to C long"
    )
    with pytest.raises(OverflowError) as info:
        setattr(c, name, value)
    assert str(info.value) == message
    assert module_entries(info.value) == [SETTER_ENTRIES[name]]
    assert channels(c) == start


@settings(max_examples=200, deadline=None)
@given(
    writes=st.lists(
        st.tuples(st.sampled_from(NAMES), st.integers(min_value=-300, max_value=600)),
        min_size=1,
        max_size=12,
    ),
    start=st.tuples(byte, byte, byte, byte),
)
def test_both_names_share_one_byte(writes, start):
    c = Color(*start)
    model = list(start)
    for name, value in writes:
        setattr(c, name, value)
        model[CHANNEL[name]] = clamp(value)
        assert [getattr(c, short) for short in SHORT_NAMES] == model
        assert [getattr(c, long) for long in LONG_NAMES] == model
