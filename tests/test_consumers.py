"""The native interface as its consumers use it: a C++ and a C11 module
through color.h, a Cython module through color.pxd, the subclasses that the C
and the Cython module define, the checks VantelColor_Import makes before it
hands out the interface, and a C++ program whose two units see color.h with
and without raylib.h.

Every consumer is built from tests/consumer/ with the package, as one of the
test suite's native builds (tests/CMakeLists.txt).
"""

import datetime
import json
import subprocess
import sys
import types

import pytest
from test_leaks import assert_no_leak

from support import Sub, clamp, run_with_injector
from vantel.color.color import Color

pytestmark = pytest.mark.packaging


# ---------------------------------------------------------------------------
# What every consumer reaches natively: the table's two entries and `_raw`.


def clamps_through_the_table(consumer):
    for value in (-(2**31), -1, 0, 1, 255, 256, 2**31 - 1):
        assert consumer.clamp_byte(value) == clamp(value)


def builds_exact_colours_with_new(consumer):
    colour = consumer.new(-5, 300, 128, 255)
    assert type(colour) is Color
    assert list(colour) == [0, 255, 128, 255]
    assert list(consumer.new(0, 0, 0, 0)) == [0, 0, 0, 0]


def reads_raw_in_place(consumer):
    assert consumer.raw(Color(1, 2, 3, 4)) == bytes([1, 2, 3, 4])
    colour = Sub(5, 6, 7)
    colour.g = 300
    assert consumer.raw(colour) == bytes([5, 255, 7, 255])


def writes_raw_in_place(consumer):
    for colour in (Color(9, 9, 9, 9), Sub(9, 9, 9, 9)):
        consumer.set_raw(colour, 10, 20, 30, 40)
        assert repr(colour) == "Color(10, 20, 30, 40)"
        assert (colour.red, colour.green, colour.blue, colour.alpha) == (10, 20, 30, 40)


def refuses_what_is_not_a_colour(consumer):
    with pytest.raises(TypeError):
        consumer.raw(object())


CONSUMERS = ["consumer", "c_consumer", "cython_consumer"]
CHECKS = [
    clamps_through_the_table,
    builds_exact_colours_with_new,
    reads_raw_in_place,
    writes_raw_in_place,
    refuses_what_is_not_a_colour,
]


@pytest.mark.parametrize("check", CHECKS, ids=lambda check: check.__name__)
@pytest.mark.parametrize("consumer_name", CONSUMERS)
def test_every_consumer_uses_the_whole_interface(request, consumer_name, check):
    check(request.getfixturevalue(consumer_name))


# ---------------------------------------------------------------------------
# Subclasses defined natively: a C type whose tp_base is the imported Color,
# and a Cython cdef class.  Each adds a field after the record.

SUBCLASSES = {
    "c": ("c_consumer", "FinalisedColor", "resurrect", True),
    "cython": ("cython_consumer", "Tinted", "tint", 7),
}


@pytest.mark.parametrize("subclass", SUBCLASSES)
def test_native_subclass_is_a_colour_with_a_field_of_its_own(request, subclass):
    fixture, name, field, value = SUBCLASSES[subclass]
    consumer = request.getfixturevalue(fixture)
    cls = getattr(consumer, name)
    assert cls.__base__ is Color
    assert cls.__basicsize__ > Color.__basicsize__

    colour = cls(300, -4, 10)
    assert type(colour) is cls
    assert list(colour) == [255, 0, 10, 255]
    setattr(colour, field, value)
    colour.b = 77
    assert getattr(colour, field) == value
    assert consumer.raw(colour) == bytes([255, 0, 77, 255])
    assert repr(colour) == "Color(255, 0, 77, 255)"
    assert list(cls.__new__(cls)) == [0, 0, 0, 0]


def test_cython_override_of_clamp_byte_reaches_only_native_callers(cython_consumer):
    tinted = cython_consumer.Tinted(1, 2, 3)
    tinted.tint = 7
    # The subclass's own table, as a Cython caller reaches it...
    assert cython_consumer.clamp_with(tinted, 1000) == 7
    assert cython_consumer.clamp_with(Color(1, 2, 3), 1000) == 255
    # ...while the module stores through the clamp rule itself.
    tinted.__init__(300, -4, 10)
    assert list(tinted) == [255, 0, 10, 255]
    tinted.r, tinted.green, tinted.alpha = -1, 1000, 128
    assert list(tinted) == [0, 255, 10, 128]
    # The version constant the declaration file passes on from color.h.
    assert cython_consumer.API_VERSION == Color.__vantel_color_api_version__


def test_c_subtype_finaliser_runs_from_colors_destruction(c_consumer):
    count = c_consumer.finalised_count
    c_consumer.graveyard.clear()  # what other tests left to be resurrected
    before = count()
    colour = c_consumer.FinalisedColor(1, 2, 3)
    del colour
    assert count() == before + 1

    # A finaliser that resurrects the colour: destruction stops, nothing is
    # freed, and the colour dies for good once it is dropped again.
    colour = c_consumer.FinalisedColor(4, 5, 6)
    colour.resurrect = True
    del colour
    assert count() == before + 2
    (revived,) = c_consumer.graveyard
    assert list(revived) == [4, 5, 6, 255]
    assert not revived.resurrect
    c_consumer.graveyard.clear()
    del revived
    assert count() == before + 3


def resurrect_and_release(consumer):
    colour = consumer.FinalisedColor(4, 5, 6)
    colour.resurrect = True
    del colour
    consumer.graveyard.clear()


LEAKS = [
    pytest.param("c_consumer", lambda c: c.FinalisedColor(1, 2, 3), id="c-subtype"),
    pytest.param("c_consumer", resurrect_and_release, id="c-subtype-resurrected"),
    pytest.param("c_consumer", lambda c: c.new(-5, 300, 128, 255), id="c-new"),
    pytest.param("cython_consumer", lambda c: c.Tinted(1, 2, 3), id="cython-subclass"),
    pytest.param("cython_consumer", lambda c: c.new(-5, 300, 128, 255), id="cython-new"),
]


@pytest.mark.parametrize(("consumer_name", "operation"), LEAKS)
def test_native_consumers_do_not_leak(request, consumer_name, operation):
    consumer = request.getfixturevalue(consumer_name)
    assert_no_leak(lambda: operation(consumer))


# ---------------------------------------------------------------------------
# VantelColor_Import, run from C against stand-ins of the colour module: what
# it refuses, and that it releases the type on every path.


def color_like(version=None, table=None, base=Color):
    """A stand-in for Color: a subclass of `base` without instance dictionary,
    publishing `version` and `table` in its own dictionary when given."""
    namespace = {"__slots__": ()}
    if version is not None:
        namespace["__vantel_color_api_version__"] = version
    if table is not None:
        namespace["__pyx_vtable__"] = table
    return type("Color", (base,), namespace)


TABLE = Color.__dict__["__pyx_vtable__"]

IMPORT_CASES = {
    "the module itself": (lambda: Color, None, None),
    "a later version": (lambda: color_like(2, TABLE), None, None),
    "no Color": (lambda: None, AttributeError, "has no attribute 'Color'"),
    "Color not a type": (lambda: 1, TypeError, "^vantel.color.color.Color is not a type$"),
    "no version": (
        lambda: color_like(table=TABLE),
        ImportError,
        "^vantel.color.color.Color implements native API version 0, but this module was "
        "built against version 1; upgrade vantel-color$",
    ),
    "an earlier version": (lambda: color_like(0, TABLE), ImportError, "version 0, but"),
    "a version that is no int": (lambda: color_like("1", TABLE), ImportError, "version 0, but"),
    "a version beyond a C long": (
        lambda: color_like(2**64, TABLE),
        ImportError,
        "^vantel.color.color.Color implements a native API version outside the range of a C "
        "long, but this module was built against version 1; reinstall vantel-color$",
    ),
    "another record size": (
        lambda: color_like(1, TABLE, base=object),
        ValueError,
        "^vantel.color.color.Color size changed, may indicate binary incompatibility. "
        f"Expected {Color.__basicsize__} from C header, got {object.__basicsize__} from PyObject$",
    ),
    "the table only inherited": (lambda: color_like(1), KeyError, "__pyx_vtable__"),
    "a capsule with a name": (
        lambda: color_like(1, datetime.datetime_CAPI),
        ValueError,
        "^PyCapsule_GetPointer called with incorrect name$",
    ),
    "a table that is no capsule": (
        lambda: color_like(1, 1),
        ValueError,
        "^PyCapsule_GetPointer called with invalid PyCapsule object$",
    ),
}


@pytest.mark.parametrize("case", IMPORT_CASES)
def test_import_checks_what_it_hands_out(c_consumer, monkeypatch, case):
    make_color, expected, message = IMPORT_CASES[case]
    color = make_color()
    module = types.ModuleType("vantel.color.color")
    if color is not None:
        module.Color = color
    monkeypatch.setitem(sys.modules, "vantel.color.color", module)
    if expected is None:
        assert c_consumer.import_api() is color
    else:
        with pytest.raises(expected, match=message):
            c_consumer.import_api()
    assert_no_leak(c_consumer.import_api, expected, watched=[color, module])


# Each allocation of VantelColor_Import made to fail in turn, in a fresh
# interpreter: every one ends in MemoryError, never a crash, and no path keeps
# a reference to the type.  (Color itself is immortal, so a mortal stand-in
# that passes every check takes its place.)
IMPORT_UNDER_ALLOCATION_FAILURE = """
import importlib.util, json, sys, types
from fault_injection.injector import each_failure, load_injector
from vantel.color.color import Color

injector = load_injector(sys.argv[1])
spec = importlib.util.spec_from_file_location("_color_consumer_c", sys.argv[2])
consumer = importlib.util.module_from_spec(spec)
spec.loader.exec_module(consumer)
stand_in = type("Color", (Color,), {
    "__slots__": (),
    "__vantel_color_api_version__": 1,
    "__pyx_vtable__": Color.__dict__["__pyx_vtable__"],
})
sys.modules["vantel.color.color"] = types.ModuleType("vantel.color.color")
sys.modules["vantel.color.color"].Color = stand_in
outcomes = []
before = sys.getrefcount(stand_in)
for _, result, exception in each_failure(injector, lambda: (consumer.import_api,)):
    if exception is not None and not isinstance(exception, MemoryError):
        raise exception
    outcomes.append("MemoryError" if exception is not None else result is stand_in)
    result = exception = None
print(json.dumps({"outcomes": outcomes, "references": sys.getrefcount(stand_in) - before}))
"""


def test_import_survives_every_allocation_failure(injector_path, c_consumer):
    result = run_with_injector(IMPORT_UNDER_ALLOCATION_FAILURE, injector_path, c_consumer.__file__)
    report = json.loads(result.stdout)
    failures = len(report["outcomes"]) - 1  # the last call met no failure
    assert failures >= 4  # the module's name, "Color", the version key, "__pyx_vtable__"
    assert report["outcomes"] == ["MemoryError"] * failures + [True]
    assert report["references"] == 0


# ---------------------------------------------------------------------------
# A C++ program of two units, one of which sees raylib.h: the record and its
# colour are one type in both, so it links under -flto -Wodr -Werror.


def test_two_units_with_and_without_raylib_link_as_one_program(painting):
    result = subprocess.run([painting], capture_output=True, text=True, check=True)
    assert result.stdout == "10 20 30 40 100\n"
