"""The text form of a colour: repr and everything that falls back on it.

The text is "Color(" followed by the four stored channels in plain decimal,
separated by ", " and closed by ")". It is built from the stored bytes alone,
so the class name, subclass overrides and iteration never leak into it.
"""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import Sub, clamp
from vantel.color.color import Color

CHANNEL_PROPERTIES = [
    ("r", 0),
    ("g", 1),
    ("b", 2),
    ("a", 3),
    ("red", 0),
    ("green", 1),
    ("blue", 2),
    ("alpha", 3),
]

# Zero, the one/two/three digit boundaries and the largest byte.
BOUNDARY_VALUES = [0, 1, 9, 10, 42, 99, 100, 128, 254, 255]


def text_of(channels):
    r, g, b, a = channels
    return f"Color({r}, {g}, {b}, {a})"


def stored(colour):
    return (colour.r, colour.g, colour.b, colour.a)


@pytest.mark.parametrize("value", BOUNDARY_VALUES)
@pytest.mark.parametrize("position", range(4))
def test_each_channel_prints_in_plain_decimal(position, value):
    channels = [5, 5, 5, 5]
    channels[position] = value
    colour = Color(*channels)
    assert repr(colour) == text_of(channels)


@pytest.mark.parametrize(
    ("args", "text"),
    [
        ((255, 0, 0), "Color(255, 0, 0, 255)"),
        ((0, 0, 0, 0), "Color(0, 0, 0, 0)"),
        ((255, 255, 255, 255), "Color(255, 255, 255, 255)"),
        ((7, 10, 100, 9), "Color(7, 10, 100, 9)"),
        ((7, 10, 100, 255), "Color(7, 10, 100, 255)"),
        ((300, -5, 12), "Color(255, 0, 12, 255)"),
        ((-1, 256, 2**31 - 1, -(2**31)), "Color(0, 255, 255, 0)"),
    ],
)
def test_known_texts(args, text):
    assert repr(Color(*args)) == text


@pytest.mark.parametrize(
    ("channels", "length"),
    [
        ((0, 0, 0, 0), 17),
        ((9, 9, 9, 9), 17),
        ((255, 255, 255, 255), 25),
        ((100, 200, 255, 100), 25),
        ((7, 10, 100, 255), 22),
    ],
)
def test_length_is_thirteen_plus_the_digits(channels, length):
    text = repr(Color(*channels))
    assert len(text) == length
    assert type(text) is str
    assert text.isascii()


@pytest.mark.parametrize(("name", "position"), CHANNEL_PROPERTIES)
@pytest.mark.parametrize(("assigned", "shown"), [(128, 128), (0, 0), (300, 255), (-5, 0)])
def test_text_follows_property_writes(name, position, assigned, shown):
    colour = Color(1, 22, 133, 44)
    expected = [1, 22, 133, 44]
    assert repr(colour) == text_of(expected)
    setattr(colour, name, assigned)
    expected[position] = shown
    assert repr(colour) == text_of(expected)


def test_text_follows_reinitialisation():
    colour = Color(1, 2, 3)
    colour.__init__(40, 50, 60, 70)
    assert repr(colour) == "Color(40, 50, 60, 70)"


class Renamed(Color):
    __qualname__ = "Elsewhere"


Renamed.__name__ = "Elsewhere"


class Shadowed(Color):
    """Every channel property answers something other than the stored byte."""

    r = property(lambda self: 91)
    g = property(lambda self: 92)
    b = property(lambda self: 93)
    a = property(lambda self: 94)
    red = property(lambda self: 95)
    green = property(lambda self: 96)
    blue = property(lambda self: 97)
    alpha = property(lambda self: 98)

    def __iter__(self):
        return iter((81, 82, 83, 84))


class WithStr(Color):
    def __str__(self):
        return "custom"


@pytest.mark.parametrize("cls", [Color, Sub, Renamed, Shadowed], ids=lambda c: c.__name__)
@pytest.mark.parametrize("channels", [(1, 2, 3, 4), (255, 0, 128, 9)])
def test_text_ignores_the_class_and_its_overrides(cls, channels):
    colour = cls(*channels)
    assert repr(colour) == text_of(channels)
    assert str(colour) == text_of(channels)


def test_shadowed_properties_do_not_leak_into_the_text():
    colour = Shadowed(10, 20, 30, 40)
    assert (colour.r, colour.alpha) == (91, 98)
    assert list(colour) == [81, 82, 83, 84]
    assert repr(colour) == "Color(10, 20, 30, 40)"


def test_subclass_str_override_leaves_repr_alone():
    colour = WithStr(10, 20, 30)
    assert str(colour) == "custom"
    assert repr(colour) == "Color(10, 20, 30, 255)"


@pytest.mark.parametrize(
    "make",
    [
        lambda: Color.__new__(Color),
        lambda: Color.__new__(Color, 1, 2, 3, x=4),
        lambda: Sub.__new__(Sub),
        lambda: Shadowed.__new__(Shadowed),
    ],
    ids=["bare", "ignored-args", "subclass", "shadowed-subclass"],
)
def test_never_initialised_colour_prints_zeros(make):
    assert repr(make()) == "Color(0, 0, 0, 0)"


@pytest.mark.parametrize(
    "convert",
    [
        repr,
        str,
        lambda c: format(c, ""),
        lambda c: f"{c}",
        lambda c: f"{c!r}",
        lambda c: f"{c!s}",
        lambda c: "%s" % (c,),
        lambda c: "%r" % (c,),
        lambda c: "{}".format(c),
        lambda c: c.__repr__(),
        lambda c: c.__str__(),
        lambda c: Color.__repr__(c),
        lambda c: type(c).__repr__(c),
        lambda c: object.__str__(c),
    ],
    ids=[
        "repr",
        "str",
        "format-empty",
        "fstring",
        "fstring-r",
        "fstring-s",
        "percent-s",
        "percent-r",
        "str-format",
        "bound-repr",
        "bound-str",
        "type-repr",
        "subtype-repr",
        "object-str",
    ],
)
@pytest.mark.parametrize("cls", [Color, Sub], ids=lambda c: c.__name__)
def test_every_text_conversion_gives_the_same_text(convert, cls):
    colour = cls(7, 10, 100, 9)
    assert convert(colour) == "Color(7, 10, 100, 9)"
    assert stored(colour) == (7, 10, 100, 9)


def test_print_writes_the_text(capsys):
    print(Color(255, 0, 0))
    print(Color(1, 2, 3, 4), Color(0, 0, 0, 0), sep="|")
    assert capsys.readouterr().out == (
        "Color(255, 0, 0, 255)\nColor(1, 2, 3, 4)|Color(0, 0, 0, 0)\n"
    )


def test_containers_show_the_text():
    colours = [Color(1, 2, 3), Color(4, 5, 6, 7)]
    assert repr(colours) == "[Color(1, 2, 3, 255), Color(4, 5, 6, 7)]"
    assert str({"c": colours[1]}) == "{'c': Color(4, 5, 6, 7)}"


channel = st.integers(min_value=0, max_value=255)


@settings(max_examples=200)
@given(channel, channel, channel, channel)
def test_text_matches_the_channels(r, g, b, a):
    colour = Color(r, g, b, a)
    text = repr(colour)
    assert text == f"Color({r}, {g}, {b}, {a})"
    assert str(colour) == text
    assert text.isascii()
    assert len(text) == 13 + sum(len(str(v)) for v in (r, g, b, a))
    assert stored(colour) == (r, g, b, a)


wide = st.integers(min_value=-(2**31), max_value=2**31 - 1)


@settings(max_examples=100)
@given(wide, wide, wide, wide)
def test_text_shows_clamped_values(r, g, b, a):
    assert repr(Color(r, g, b, a)) == f"Color({clamp(r)}, {clamp(g)}, {clamp(b)}, {clamp(a)})"
