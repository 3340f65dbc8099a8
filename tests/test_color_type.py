"""The Color type and its record: type attributes, creation without __init__,
identity comparison, the refusals of a plain static type, Python subclasses and
their lifecycle, and the native interface that other compiled modules use
(the record's `_raw`, `clamp_byte` and `new` through the method table).
"""

import abc
import gc
import inspect
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import Sub, clamp
from vantel.color.color import Color

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14

INT32 = st.integers(min_value=-(2**31), max_value=2**31 - 1)
BYTE = st.integers(min_value=0, max_value=255)


def test_type_attributes():
    flags = Color.__flags__
    assert flags & Py_TPFLAGS_BASETYPE
    assert not flags & Py_TPFLAGS_HAVE_GC
    assert not flags & Py_TPFLAGS_HEAPTYPE
    # The object header (16 bytes, or 32 in a free-threaded build), the
    # method-table pointer and the four channels, padded to 8.
    assert Color.__basicsize__ == object.__basicsize__ + 16
    assert Color.__itemsize__ == 0
    assert Color.__dictoffset__ == 0
    assert Color.__weakrefoffset__ == 0
    assert Color.__name__ == "Color"
    assert Color.__qualname__ == "Color"
    assert Color.__module__ == "vantel.color.color"
    assert Color.__doc__ is None
    assert Color.__dict__["__doc__"] is None
    assert Color(1, 2, 3).__doc__ is None
    # The constructor's signature, for help() and inspect, without a docstring.
    assert Color.__text_signature__ == "(r, g, b, a=255)"
    assert str(inspect.signature(Color)) == "(r, g, b, a=255)"
    assert Color.__mro__ == (Color, object)
    assert not gc.is_tracked(Color(1, 2, 3))


@pytest.mark.parametrize("cls", [Color, Sub])
@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        ((1, 2, 3), {"x": 4}),
        ((10, 20, 30, 40), {}),
        (("not", "channels"), {}),
        ((), {"r": 5, "alpha": 6}),
    ],
)
def test_new_gives_a_zero_colour_without_init(cls, args, kwargs):
    colour = Color.__new__(cls, *args, **kwargs)
    assert type(colour) is cls
    assert list(colour) == [0, 0, 0, 0]
    assert (colour.r, colour.g, colour.b, colour.a) == (0, 0, 0, 0)


def test_new_does_not_run_a_subclass_init():
    calls = []

    class Tracked(Color):
        def __init__(self, *args):
            calls.append(args)
            super().__init__(*args)

    colour = Tracked.__new__(Tracked, 1, 2, 3)
    assert calls == []
    assert list(colour) == [0, 0, 0, 0]
    assert list(Tracked(1, 2, 3)) == [1, 2, 3, 255]
    assert calls == [(1, 2, 3)]


def test_equality_and_hashing_go_by_identity():
    first, second = Color(1, 2, 3), Color(1, 2, 3)
    assert first == first
    assert first != second
    assert not first == second
    table = {first: "first", second: "second"}
    assert len(table) == 2
    members = {first}
    assert first in members
    assert second not in members
    # The hash must not follow the channels, or a stored colour would get lost.
    first.r = 200
    assert table[first] == "first"
    assert first in members


@pytest.mark.parametrize(
    ("action", "error"),
    [
        pytest.param(lambda c: setattr(c, "foo", 1), AttributeError, id="set-attribute"),
        pytest.param(lambda c: delattr(c, "foo"), AttributeError, id="delete-attribute"),
        pytest.param(lambda c: c.__dict__, AttributeError, id="instance-dict"),
        pytest.param(weakref.ref, TypeError, id="weakref"),
        pytest.param(lambda c: c[0], TypeError, id="index"),
        pytest.param(lambda c: len(c), TypeError, id="len"),
        pytest.param(lambda c: c + c, TypeError, id="add"),
    ],
)
def test_instance_refusals(action, error):
    colour = Color(1, 2, 3)
    with pytest.raises(error):
        action(colour)
    assert list(colour) == [1, 2, 3, 255]


@pytest.mark.parametrize(
    "action",
    [
        pytest.param(lambda: setattr(Color, "foo", 1), id="new-attribute"),
        pytest.param(lambda: setattr(Color, "r", property()), id="replace-property"),
        pytest.param(lambda: delattr(Color, "r"), id="delete-property"),
        pytest.param(lambda: delattr(Color, "__pyx_vtable__"), id="delete-vtable"),
    ],
)
def test_class_is_immutable(action):
    with pytest.raises(TypeError):
        action()
    assert not hasattr(Color, "foo")
    assert "__pyx_vtable__" in Color.__dict__
    colour = Color(1, 2, 3)
    colour.r = 9
    assert colour.r == 9


def test_python_subclass():
    colour = Sub(1, 2, 3, 4)
    assert isinstance(colour, Color)
    assert list(colour) == [1, 2, 3, 4]
    colour.foo = "bar"
    assert colour.__dict__ == {"foo": "bar"}
    ref = weakref.ref(colour)
    assert ref() is colour
    # The platform makes the subclass collectable: a cycle through the
    # instance dictionary is freed.
    assert gc.is_tracked(colour)
    colour.me = colour
    del colour
    gc.collect()
    assert ref() is None


def test_subclass_del_runs_once():
    seen = []

    class Finalised(Color):
        def __del__(self):
            seen.append(list(self))

    colour = Finalised(1, 2, 3, 4)
    del colour
    assert seen == [[1, 2, 3, 4]]

    cyclic = Finalised(5, 6, 7, 8)
    cyclic.me = cyclic
    del cyclic
    gc.collect()
    assert seen == [[1, 2, 3, 4], [5, 6, 7, 8]]


def test_subclass_resurrected_in_del_stays_usable():
    saved = []

    class Phoenix(Color):
        def __del__(self):
            saved.append(self)

    colour = Phoenix(1, 2, 3)
    ref = weakref.ref(colour)
    del colour
    assert len(saved) == 1
    revived = saved[0]
    assert list(revived) == [1, 2, 3, 255]
    revived.g = 42
    assert repr(revived) == "Color(1, 42, 3, 255)"
    del revived
    # The finaliser ran once already, so the second death frees the object.
    saved.clear()
    gc.collect()
    assert saved == []
    assert ref() is None


def test_abstract_subclass_refuses_instances():
    class Shape(Color, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def area(self): ...

    message = (
        "Can't instantiate abstract class Shape"
        " without an implementation for abstract method 'area'"
    )
    with pytest.raises(TypeError) as excinfo:
        Shape(1, 2, 3)
    assert str(excinfo.value) == message
    with pytest.raises(TypeError) as excinfo:
        Shape.__new__(Shape)
    assert str(excinfo.value) == message

    class Square(Shape):
        def area(self):
            return 1

    assert list(Square(1, 2, 3)) == [1, 2, 3, 255]


@pytest.mark.parametrize(
    ("value", "expected"),
    [(-(2**31), 0), (-1, 0), (0, 0), (1, 1), (128, 128), (255, 255), (256, 255), (2**31 - 1, 255)],
)
def test_clamp_byte(consumer, value, expected):
    assert consumer.clamp_byte(value) == expected


@settings(max_examples=200)
@given(INT32)
def test_clamp_byte_saturates(consumer, value):
    assert consumer.clamp_byte(value) == clamp(value)


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((-5, 300, 128, 255), [0, 255, 128, 255]),
        ((0, 0, 0, 0), [0, 0, 0, 0]),
        ((-(2**31), 2**31 - 1, 1, 254), [0, 255, 1, 254]),
    ],
)
def test_native_new(consumer, args, expected):
    colour = consumer.new(*args)
    assert type(colour) is Color
    assert list(colour) == expected
    assert consumer.raw(colour) == bytes(expected)
    assert consumer.method_table_is_shared(colour)


@settings(max_examples=200)
@given(INT32, INT32, INT32, INT32)
def test_native_new_clamps_every_channel(consumer, r, g, b, a):
    colour = consumer.new(r, g, b, a)
    assert (colour.r, colour.g, colour.b, colour.a) == (clamp(r), clamp(g), clamp(b), clamp(a))


@pytest.mark.parametrize("cls", [Color, Sub])
@settings(max_examples=100)
@given(channels=st.tuples(BYTE, BYTE, BYTE, BYTE))
def test_raw_written_natively_is_what_python_reads(consumer, cls, channels):
    colour = cls(9, 9, 9, 9)
    consumer.set_raw(colour, *channels)
    r, g, b, a = channels
    assert list(colour) == list(channels)
    assert (colour.r, colour.g, colour.b, colour.a) == channels
    assert (colour.red, colour.green, colour.blue, colour.alpha) == channels
    assert repr(colour) == f"Color({r}, {g}, {b}, {a})"


@pytest.mark.parametrize("cls", [Color, Sub])
@pytest.mark.parametrize(
    ("name", "position"),
    [("r", 0), ("g", 1), ("b", 2), ("a", 3), ("red", 0), ("green", 1), ("blue", 2), ("alpha", 3)],
)
def test_property_writes_land_in_raw(consumer, cls, name, position):
    colour = cls(10, 20, 30, 40)
    setattr(colour, name, 201)
    expected = [10, 20, 30, 40]
    expected[position] = 201
    assert consumer.raw(colour) == bytes(expected)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: Color(1, 2, 3), id="Color()"),
        pytest.param(lambda: Color.__new__(Color), id="Color.__new__"),
        pytest.param(lambda: Sub(1, 2, 3), id="subclass"),
        pytest.param(lambda: Sub.__new__(Sub), id="subclass.__new__"),
    ],
)
def test_every_colour_points_at_the_published_table(consumer, make):
    assert consumer.method_table_is_shared(make())


def test_capsule_pointer_is_the_table(consumer):
    assert consumer.capsule_pointer(None) == consumer.table_address()
    with pytest.raises(ValueError, match="^PyCapsule_GetPointer called with incorrect name$"):
        consumer.capsule_pointer("vantel.color.color.Color")


@pytest.mark.parametrize("loop", ["new_many", "call_type_many", "call_function_many"])
def test_native_construction_does_not_leak(consumer, loop):
    run = getattr(consumer, loop)
    run(1000)
    before = sys.getallocatedblocks()
    run(20000)
    assert sys.getallocatedblocks() - before < 100
