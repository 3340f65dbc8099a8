"""The generator that iterating a colour returns, as a full Python generator.

Besides next() it answers send(), throw() and close() at every resume point,
forms thrown exceptions the way a raise statement does, refuses re-entrant
use, and carries the usual generator attributes. An exception that arrives in
the body gets one traceback entry "__iter__" whose line tells the resume point
(14 before the first value, 15..18 after r, g, b, a) and finishes the
generator.
"""

import collections.abc
import copy
import ctypes
import gc
import inspect
import pickle
import sys
import types
import weakref
from inspect import (
    CO_ASYNC_GENERATOR,
    CO_COROUTINE,
    CO_GENERATOR,
    CO_ITERABLE_COROUTINE,
    CO_NEWLOCALS,
    CO_OPTIMIZED,
    CO_VARARGS,
    CO_VARKEYWORDS,
)

import pytest

import vantel.color.color as color_module
from vantel.color.color import Color

from support import IMPLEMENTATION_FILE, module_entries, name_lookups_running, traceback_entries

VALUES = (11, 22, 33, 44)
FINISHED = "finished"
POINTS = [0, 1, 2, 3, 4, FINISHED]
GENERATOR_TYPE_NAME = "vantel.color.color.generator"


def generator_at(point, colour=None):
    """A generator over `colour` (by default Color(11, 22, 33, 44)) at resume point `point`."""
    generator = iter(Color(*VALUES) if colour is None else colour)
    if point == FINISHED:
        assert list(generator) == list(VALUES)
    else:
        for expected in VALUES[:point]:
            assert next(generator) == expected
    return generator


def body_entry(point):
    return [("__iter__", IMPLEMENTATION_FILE, 14 + point)]


def assert_finished(generator):
    assert generator.gi_code is None
    assert generator.gi_frame is None
    assert generator.__name__ is None
    assert generator.gi_running is False
    for _ in range(2):
        with pytest.raises(StopIteration) as info:
            next(generator)
        assert info.value.args == ()


def assert_suspended_at(generator, point):
    assert generator.gi_code is not None
    assert generator.gi_running is False
    assert list(generator) == list(VALUES[point:])


# --- next and send -------------------------------------------------------------


RESUMES_WITH_NONE = [
    pytest.param(next, id="next"),
    pytest.param(lambda g: g.__next__(), id="__next__"),
    pytest.param(lambda g: g.send(None), id="send-None"),
]


@pytest.mark.parametrize("resume", RESUMES_WITH_NONE)
@pytest.mark.parametrize("point", [0, 1, 2, 3])
def test_resuming_with_none_gives_the_next_channel(resume, point):
    generator = generator_at(point)
    assert resume(generator) == VALUES[point]
    assert_suspended_at(generator, point + 1)


@pytest.mark.parametrize("resume", RESUMES_WITH_NONE)
@pytest.mark.parametrize("point", [4, FINISHED])
def test_resuming_at_the_end_stops_without_a_value(resume, point):
    generator = generator_at(point)
    with pytest.raises(StopIteration) as info:
        resume(generator)
    assert info.value.args == ()
    assert info.value.value is None
    assert module_entries(info.value) == []
    assert_finished(generator)


@pytest.mark.parametrize("value", [5, 0, "", False, (), object()], ids=repr)
def test_sending_a_value_into_a_fresh_generator_fails_and_finishes_it(value):
    generator = generator_at(0)
    with pytest.raises(TypeError) as info:
        generator.send(value)
    assert str(info.value) == "can't send non-None value to a just-started generator"
    assert module_entries(info.value) == body_entry(0)
    assert_finished(generator)


@pytest.mark.parametrize("value", [99, "text", None, object()], ids=repr)
@pytest.mark.parametrize("point", [1, 2, 3])
def test_a_value_sent_later_is_ignored(point, value):
    generator = generator_at(point)
    assert generator.send(value) == VALUES[point]
    assert_suspended_at(generator, point + 1)


@pytest.mark.parametrize("point", [4, FINISHED])
def test_sending_a_value_at_the_end_stops(point):
    generator = generator_at(point)
    with pytest.raises(StopIteration) as info:
        generator.send(99)
    assert info.value.args == ()
    assert module_entries(info.value) == []
    assert_finished(generator)


def test_send_none_then_a_value_walks_the_channels():
    generator = iter(Color(1, 2, 3, 4))
    assert generator.send(None) == 1
    assert generator.send(99) == 2
    assert generator.send(-1) == 3
    assert generator.send(None) == 4
    with pytest.raises(StopIteration):
        generator.send(0)


# --- throw ---------------------------------------------------------------------


class Custom(Exception):
    pass


class CustomSub(Custom):
    pass


class NewReturnsInt(Exception):
    def __new__(cls, *args):
        return 42


class InitFails(Exception):
    failure = None

    def __init__(self, *args):
        InitFails.failure = KeyError("raised by the constructor")
        raise InitFails.failure


def make_traceback():
    """A traceback object of its own, recognisable by its line number."""
    return types.TracebackType(None, sys._getframe(), 0, 4242)


def expect_type_error(message):
    def check(exc):
        assert type(exc) is TypeError
        assert str(exc) == message

    return check


def expect_same(instance):
    def check(exc):
        assert exc is instance

    return check


def expect_new(kind, args):
    def check(exc):
        assert type(exc) is kind
        assert exc.args == args

    return check


ARG_3 = "raise: arg 3 must be a traceback or None"
SEPARATE_VALUE = "instance exception may not have a separate value"
NOT_AN_EXCEPTION = "raise: exception class must be a subclass of BaseException"


def _instance_rows():
    rows = {}
    for name, extra in [("alone", ()), ("value-None", (None,)), ("value-and-tb-None", (None, None))]:
        def row(extra=extra):
            instance = Custom("made earlier")
            return (instance, *extra), expect_same(instance)

        rows[f"instance-{name}"] = row
    return rows


def _class_and_instance(kind, value_kind):
    def row():
        value = value_kind("given")
        return (kind, value), expect_same(value)

    return row


def _class_with_real_traceback(kind):
    def row():
        tb = make_traceback()
        return (kind, None, tb), expect_new(kind, ())

    return row


def _instance_with_real_traceback():
    instance = Custom("with tb")
    return (instance, None, make_traceback()), expect_same(instance)


def _unrelated_instance_as_value():
    value = KeyError("k")
    return (Custom, value), expect_new(Custom, (value,))


def _base_instance_as_value():
    value = Custom("base")
    return (CustomSub, value), expect_new(CustomSub, (value,))


def _constructor_fails():
    def check(exc):
        assert exc is InitFails.failure

    return (InitFails,), check


def _row(args, check):
    return lambda: (args, check)


RAISE_RULE = {
    # The traceback argument is checked first.
    "tb-int": _row((Custom, None, 5), expect_type_error(ARG_3)),
    "tb-str-with-instance-and-value": _row((Custom("x"), 5, "tb"), expect_type_error(ARG_3)),
    "tb-int-with-non-exception": _row((1, None, 5), expect_type_error(ARG_3)),
    "tb-frame": _row((Custom, None, sys._getframe()), expect_type_error(ARG_3)),
    # An instance takes no separate value.
    "instance-and-int": _row((Custom("x"), 5), expect_type_error(SEPARATE_VALUE)),
    "instance-and-tuple": _row((Custom("x"), (1,)), expect_type_error(SEPARATE_VALUE)),
    "instance-and-instance": _row((Custom("x"), Custom("y")), expect_type_error(SEPARATE_VALUE)),
    **_instance_rows(),
    # Neither an exception class nor an instance.
    "int": _row((1,), expect_type_error(NOT_AN_EXCEPTION)),
    "int-and-value": _row((1, 5), expect_type_error(NOT_AN_EXCEPTION)),
    "None": _row((None,), expect_type_error(NOT_AN_EXCEPTION)),
    "str": _row(("ValueError",), expect_type_error(NOT_AN_EXCEPTION)),
    "non-exception-class": _row((int,), expect_type_error(NOT_AN_EXCEPTION)),
    "object": _row((object(),), expect_type_error(NOT_AN_EXCEPTION)),
    # A class is called with what the value gives.
    "class-alone": _row((Custom,), expect_new(Custom, ())),
    "class-value-None": _row((Custom, None), expect_new(Custom, ())),
    "class-value-and-tb-None": _row((Custom, None, None), expect_new(Custom, ())),
    "value-error-class": _row((ValueError,), expect_new(ValueError, ())),
    "generator-exit-class": _row((GeneratorExit,), expect_new(GeneratorExit, ())),
    "keyboard-interrupt-class": _row((KeyboardInterrupt,), expect_new(KeyboardInterrupt, ())),
    "class-and-own-instance": _class_and_instance(Custom, Custom),
    "class-and-subclass-instance": _class_and_instance(Custom, CustomSub),
    "base-exception-and-subclass-instance": _class_and_instance(BaseException, CustomSub),
    "class-and-tuple": _row((Custom, (1, "two", None)), expect_new(Custom, (1, "two", None))),
    "class-and-empty-tuple": _row((Custom, ()), expect_new(Custom, ())),
    "class-and-int": _row((Custom, 5), expect_new(Custom, (5,))),
    "class-and-list": _row((Custom, [1, 2]), expect_new(Custom, ([1, 2],))),
    "class-and-str": _row((ValueError, "message"), expect_new(ValueError, ("message",))),
    "class-and-unrelated-instance": _unrelated_instance_as_value,
    "subclass-and-base-instance": _base_instance_as_value,
    # What the class call gives back.
    "new-returns-int": _row(
        (NewReturnsInt,),
        expect_type_error(
            f"calling {NewReturnsInt!r} should have returned an instance of "
            f"BaseException, not {int!r}"
        ),
    ),
    "constructor-raises": _constructor_fails,
    # A real traceback object.
    "class-with-traceback": _class_with_real_traceback(Custom),
    "instance-with-traceback": _instance_with_real_traceback,
}


def throw_and_catch(generator, args):
    try:
        generator.throw(*args)
    except BaseException as exc:  # GeneratorExit and KeyboardInterrupt are rows too
        return exc
    raise AssertionError(f"throw{args!r} returned instead of raising")


def assert_given_traceback_follows(exc, given, finished):
    """The traceback object given to throw() comes right after the module's entry."""
    chain = []
    tb = exc.__traceback__
    while tb is not None:
        chain.append(tb)
        tb = tb.tb_next
    assert given in chain
    before = chain[chain.index(given) - 1]
    from_module = before.tb_frame.f_code.co_filename == IMPLEMENTATION_FILE
    assert from_module is not finished
    assert chain[chain.index(given):] == [given]
    assert traceback_entries(exc)[-1][2] == 4242


@pytest.mark.parametrize("point", POINTS)
@pytest.mark.parametrize("row", RAISE_RULE.values(), ids=RAISE_RULE.keys())
def test_throw_forms_the_exception_by_the_raise_rule(row, point):
    generator = generator_at(point)
    args, check = row()
    exc = throw_and_catch(generator, args)
    check(exc)
    if point == FINISHED:
        assert module_entries(exc) == []
    else:
        assert module_entries(exc) == body_entry(point)
    if len(args) == 3 and isinstance(args[2], types.TracebackType):
        assert_given_traceback_follows(exc, args[2], point == FINISHED)
    assert_finished(generator)


class StopSub(StopIteration):
    pass


def _stop_row(make, pack):
    def row():
        instance = make()
        return pack(instance), instance

    return row


STOP_ITERATION_ROWS = {
    "class": lambda: ((StopIteration,), None),
    "class-and-value": lambda: ((StopIteration, 7), None),
    "subclass": lambda: ((StopSub,), None),
    "instance": _stop_row(lambda: StopIteration(7), lambda s: (s,)),
    "subclass-instance": _stop_row(lambda: StopSub("sub"), lambda s: (s,)),
    "class-and-subclass-instance": _stop_row(lambda: StopSub("sub"), lambda s: (StopIteration, s)),
}


@pytest.mark.parametrize("args_of", STOP_ITERATION_ROWS.values(), ids=STOP_ITERATION_ROWS.keys())
@pytest.mark.parametrize("point", [0, 1, 2, 3, 4])
def test_a_thrown_stop_iteration_comes_out_as_runtime_error(args_of, point):
    args, instance = args_of()
    generator = generator_at(point)
    with pytest.raises(RuntimeError) as info:
        generator.throw(*args)
    exc = info.value
    assert type(exc) is RuntimeError
    assert str(exc) == "generator raised StopIteration"
    cause = exc.__cause__
    assert isinstance(cause, StopIteration)
    assert type(cause) is (type(instance) if instance is not None else args[0])
    if instance is not None:
        assert cause is instance
    if args[1:] == (7,):
        assert cause.args == (7,)
    assert module_entries(exc) == body_entry(point)
    assert_finished(generator)


@pytest.mark.parametrize("kind", [StopIteration, StopSub])
def test_a_stop_iteration_thrown_into_a_finished_generator_comes_out_unchanged(kind):
    generator = generator_at(FINISHED)
    instance = kind("late")
    with pytest.raises(StopIteration) as info:
        generator.throw(instance)
    assert info.value is instance
    assert module_entries(info.value) == []
    assert_finished(generator)


@pytest.mark.parametrize(
    "args, message",
    [
        ((), "throw expected at least 1 argument, got 0"),
        ((Custom, None, None, None), "throw expected at most 3 arguments, got 4"),
        ((Custom, 1, None, 2, 3), "throw expected at most 3 arguments, got 5"),
    ],
    ids=["none", "four", "five"],
)
@pytest.mark.parametrize("point", POINTS)
def test_throw_with_a_wrong_argument_count_leaves_the_generator_alone(args, message, point):
    generator = generator_at(point)
    with pytest.raises(TypeError) as info:
        generator.throw(*args)
    assert str(info.value) == message
    assert module_entries(info.value) == []
    if point == FINISHED:
        assert_finished(generator)
    else:
        assert_suspended_at(generator, point)


# --- close ---------------------------------------------------------------------


@pytest.mark.parametrize("point", POINTS)
def test_close_returns_none_and_finishes(point):
    generator = generator_at(point)
    assert generator.close() is None
    assert_finished(generator)
    assert generator.close() is None
    assert_finished(generator)


# --- re-entrant use ------------------------------------------------------------


PY_ITER_SEND = ctypes.pythonapi.PyIter_Send
PY_ITER_SEND.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object)]
PY_ITER_SEND.restype = ctypes.c_int


def send_through_the_slot(generator, value):
    """PyIter_Send, the entry of the send slot that `yield from` and `await`
    use: ("next", value yielded) or ("return", value returned); an error
    comes out as the exception."""
    result = ctypes.py_object()
    status = PY_ITER_SEND(generator, value, ctypes.byref(result))
    return ("next" if status == 1 else "return", result.value)


REENTRANT_USES = {
    "next": next,
    "send-slot": lambda g: send_through_the_slot(g, None),
    "send-None": lambda g: g.send(None),
    "send-value": lambda g: g.send(5),
    "throw-class": lambda g: g.throw(KeyError),
    "throw-instance": lambda g: g.throw(KeyError("inner")),
    "close": lambda g: g.close(),
}


def reentrant_exception(target, use, catch):
    """An exception class whose constructor uses `target` while throw() forms it."""
    seen = {}

    class Reentrant(Exception):
        def __init__(self, *args):
            super().__init__(*args)
            seen["running"] = target["generator"].gi_running
            if catch:
                try:
                    use(target["generator"])
                except ValueError as exc:
                    seen["error"] = str(exc)
                seen["still running"] = target["generator"].gi_running
                seen["other"] = next(target["other"])
            else:
                use(target["generator"])

    return Reentrant, seen


@pytest.mark.parametrize("use", REENTRANT_USES.values(), ids=REENTRANT_USES.keys())
@pytest.mark.parametrize("point", [0, 1, 2, 3, 4])
def test_using_the_generator_while_throw_forms_its_exception_is_refused(use, point):
    colour = Color(*VALUES)
    generator = generator_at(point, colour)
    target = {"generator": generator, "other": iter(colour)}
    kind, seen = reentrant_exception(target, use, catch=True)
    with pytest.raises(kind) as info:
        generator.throw(kind)
    assert seen == {
        "running": True,
        "error": "generator already executing",
        "still running": True,
        # Another generator over the same colour is not affected.
        "other": VALUES[0],
    }
    assert module_entries(info.value) == body_entry(point)
    assert_finished(generator)


@pytest.mark.parametrize("use", REENTRANT_USES.values(), ids=REENTRANT_USES.keys())
@pytest.mark.parametrize("point", [0, 2, 4])
def test_the_refusal_is_what_throw_raises_when_the_constructor_lets_it_out(use, point):
    generator = generator_at(point)
    kind, seen = reentrant_exception({"generator": generator}, use, catch=False)
    with pytest.raises(ValueError) as info:
        generator.throw(kind)
    assert type(info.value) is ValueError
    assert str(info.value) == "generator already executing"
    assert seen == {"running": True}
    assert module_entries(info.value) == body_entry(point)
    assert_finished(generator)


@pytest.mark.parametrize("point", POINTS)
def test_gi_running_is_false_outside_the_body(point):
    generator = generator_at(point)
    assert generator.gi_running is False
    # gi_suspended is what inspect.getgeneratorstate reads besides gi_running.
    expected_state = {0: "GEN_CREATED", FINISHED: "GEN_CLOSED"}.get(point, "GEN_SUSPENDED")
    assert inspect.getgeneratorstate(generator) == expected_state
    assert generator.gi_suspended is (expected_state == "GEN_SUSPENDED")
    seen = []

    class Probe(Exception):
        def __init__(self):
            seen.append((inspect.getgeneratorstate(generator), generator.gi_suspended))

    with pytest.raises(Probe):
        generator.throw(Probe)
    assert seen == [("GEN_RUNNING", False)]
    generator.close()
    assert generator.gi_running is False
    assert inspect.getgeneratorstate(generator) == "GEN_CLOSED"


# --- attributes ----------------------------------------------------------------


@pytest.mark.parametrize("point", [0, 1, 2, 3, 4])
def test_attributes_of_a_live_generator(point):
    generator = generator_at(point)
    assert generator.__name__ == "__iter__"
    assert generator.__qualname__ == "Color.__iter__"
    assert generator.__module__ == "vantel.color.color"
    assert generator.gi_yieldfrom is None
    assert generator.gi_running is False

    code = generator.gi_code
    assert isinstance(code, types.CodeType)
    assert code.co_name == "__iter__"
    assert code.co_qualname == "__iter__"
    assert code.co_filename == IMPLEMENTATION_FILE
    assert code.co_firstlineno == 14
    assert code.co_argcount == 1
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames == ("self",)
    wanted = CO_GENERATOR | CO_OPTIMIZED | CO_NEWLOCALS
    assert code.co_flags & wanted == wanted
    unwanted = CO_VARARGS | CO_VARKEYWORDS | CO_COROUTINE | CO_ITERABLE_COROUTINE | CO_ASYNC_GENERATOR
    assert code.co_flags & unwanted == 0

    frame = generator.gi_frame
    assert isinstance(frame, types.FrameType)
    assert frame.f_code is code
    assert generator.gi_frame is frame
    assert generator.gi_code is code


def test_all_generators_share_one_code_object():
    first = iter(Color(1, 2, 3))
    second = iter(Color(4, 5, 6))
    assert first.gi_code is second.gi_code
    assert first.gi_frame is not second.gi_frame


# Making gi_frame looks "__name__" up in the module's namespace, where a str
# subclass key runs Python code halfway through.  What that code did to the
# generator stands: a generator it closed reads no frame, and the frame it
# read is the one kept.
@pytest.mark.parametrize(
    "meanwhile, finishes",
    [(lambda g: g.close(), True), (lambda g: g.gi_frame, False)],
    ids=["close", "read-gi_frame"],
)
@pytest.mark.parametrize("point", [0, 2])
def test_gi_frame_keeps_what_python_code_did_while_it_was_made(meanwhile, finishes, point):
    generator = generator_at(point)
    results = []
    with name_lookups_running(vars(color_module), lambda: results.append(meanwhile(generator))):
        frame = generator.gi_frame
    assert len(results) == 1
    if finishes:
        assert frame is None
        assert inspect.getgeneratorstate(generator) == "GEN_CLOSED"
        assert_finished(generator)
    else:
        assert frame is results[0]
        assert generator.gi_frame is frame
        assert frame.f_code is generator.gi_code


def finish_by_exhausting(generator):
    list(generator)


def finish_by_closing(generator):
    generator.close()


def finish_by_throwing(generator):
    with pytest.raises(Custom):
        generator.throw(Custom)


def finish_by_sending_first(generator):
    with pytest.raises(TypeError):
        generator.send(1)


each_way_to_finish = pytest.mark.parametrize(
    "finish",
    [finish_by_exhausting, finish_by_closing, finish_by_throwing, finish_by_sending_first],
    ids=["exhaust", "close", "throw", "send"],
)


@each_way_to_finish
@pytest.mark.parametrize("frame_read_first", [False, True], ids=["no-frame", "frame"])
def test_a_finished_generator_reads_none(finish, frame_read_first):
    generator = iter(Color(*VALUES))
    if frame_read_first:
        assert generator.gi_frame is not None
    finish(generator)
    assert generator.__name__ is None
    assert generator.__qualname__ is None
    assert generator.__module__ is None
    assert generator.gi_code is None
    assert generator.gi_frame is None
    assert generator.gi_yieldfrom is None
    assert generator.gi_running is False


@pytest.mark.parametrize(
    "point, value, expected",
    [
        (0, None, ("next", 11)),
        (1, 99, ("next", 22)),
        (3, "x", ("next", 44)),
        (4, None, ("return", None)),
        (FINISHED, None, ("return", None)),
        (0, 5, TypeError("can't send non-None value to a just-started generator")),
    ],
)
def test_the_send_slot(point, value, expected):
    generator = generator_at(point)
    if isinstance(expected, BaseException):
        with pytest.raises(type(expected)) as info:
            send_through_the_slot(generator, value)
        assert str(info.value) == str(expected)
        assert module_entries(info.value) == body_entry(point)
        assert_finished(generator)
    else:
        assert send_through_the_slot(generator, value) == expected


def test_yield_from_delegates_to_the_generator():
    def delegate(generator):
        returned = yield from generator
        yield ("returned", returned)

    outer = delegate(iter(Color(*VALUES)))
    assert [next(outer), outer.send(99), next(outer), next(outer)] == list(VALUES)
    assert next(outer) == ("returned", None)
    assert list(delegate(generator_at(FINISHED))) == [("returned", None)]


@each_way_to_finish
def test_a_finishing_generator_looks_finished_to_the_colour_finaliser(finish):
    # Finishing releases the colour, whose __del__ may look at the generator:
    # it must already read as finished, not as running.
    seen = []
    generators = []

    class Watched(Color):
        def __del__(self):
            generator = generators[0]
            seen.append((generator.gi_running, inspect.getgeneratorstate(generator),
                         generator.__name__, generator.gi_code, next(generator, "ended")))

    generators.append(iter(Watched(*VALUES)))
    finish(generators[0])
    assert seen == [(False, "GEN_CLOSED", None, None, "ended")]


def test_a_started_generator_in_a_collected_cycle_is_closed():
    # The collector runs the generator's finaliser, which closes it, as it
    # does for Python's own generators; the colour's __del__ keeps the
    # generator alive to be looked at.
    kept = []

    class Keeper(Color):
        def __del__(self):
            kept.append(self.generator)

    colour = Keeper(*VALUES)
    colour.generator = iter(colour)
    next(colour.generator)
    del colour
    gc.collect()
    (generator,) = kept
    assert inspect.getgeneratorstate(generator) == "GEN_CLOSED"
    assert gc.is_finalized(generator)


@pytest.mark.parametrize("name", ["__name__", "__qualname__"])
def test_name_setters_take_strings(name):
    generator = iter(Color(1, 2, 3))
    other = iter(Color(1, 2, 3))
    before = getattr(other, name)
    setattr(generator, name, "renamed")
    assert getattr(generator, name) == "renamed"
    assert getattr(other, name) == before
    assert list(generator) == [1, 2, 3, 255]


@pytest.mark.parametrize("value", [5, None, b"bytes", ["x"]], ids=repr)
@pytest.mark.parametrize("name", ["__name__", "__qualname__"])
def test_name_setters_refuse_other_values(name, value):
    generator = iter(Color(1, 2, 3))
    before = getattr(generator, name)
    with pytest.raises(TypeError) as info:
        setattr(generator, name, value)
    assert str(info.value) == f"{name} must be set to a string object"
    assert getattr(generator, name) == before


@pytest.mark.parametrize("name", ["__name__", "__qualname__"])
def test_name_setters_refuse_deletion(name):
    generator = iter(Color(1, 2, 3))
    before = getattr(generator, name)
    with pytest.raises(TypeError) as info:
        delattr(generator, name)
    assert str(info.value) == f"{name} must be set to a string object"
    assert getattr(generator, name) == before


def test_module_name_can_be_reassigned():
    generator = iter(Color(1, 2, 3))
    generator.__module__ = "elsewhere"
    assert generator.__module__ == "elsewhere"
    assert iter(Color(1, 2, 3)).__module__ == "vantel.color.color"
    assert list(generator) == [1, 2, 3, 255]


@pytest.mark.parametrize("name", ["gi_running", "gi_code", "gi_frame", "gi_yieldfrom"])
def test_generator_state_attributes_are_read_only(name):
    generator = iter(Color(1, 2, 3))
    with pytest.raises(AttributeError):
        setattr(generator, name, None)
    with pytest.raises(AttributeError):
        delattr(generator, name)


# --- the type ------------------------------------------------------------------


def test_the_generator_type():
    generator = iter(Color(1, 2, 3))
    kind = type(generator)
    assert kind.__name__ == "generator"
    assert kind.__module__ == "vantel.color.color"
    assert isinstance(generator, collections.abc.Generator)
    assert iter(generator) is generator


@pytest.mark.parametrize("args", [(), (1,)], ids=["no-args", "one-arg"])
def test_the_generator_type_cannot_be_instantiated(args):
    kind = type(iter(Color(1, 2, 3)))
    with pytest.raises(TypeError) as info:
        kind(*args)
    assert str(info.value) == f"cannot create '{GENERATOR_TYPE_NAME}' instances"


def test_the_generator_type_cannot_be_subclassed():
    kind = type(iter(Color(1, 2, 3)))
    with pytest.raises(TypeError) as info:
        type("Sub", (kind,), {})
    assert str(info.value) == f"type '{GENERATOR_TYPE_NAME}' is not an acceptable base type"


def test_generators_can_be_weakly_referenced():
    generator = iter(Color(1, 2, 3))
    called = []
    ref = weakref.ref(generator, called.append)
    assert ref() is generator
    next(generator)
    del generator
    assert ref() is None
    assert called == [ref]


@pytest.mark.parametrize(
    "copier",
    [pytest.param(lambda g, p=p: pickle.dumps(g, protocol=p), id=f"pickle-{p}")
     for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    + [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")],
)
@pytest.mark.parametrize("point", [0, 2, FINISHED])
def test_generators_cannot_be_pickled_or_copied(copier, point):
    generator = generator_at(point)
    with pytest.raises(TypeError) as info:
        copier(generator)
    assert str(info.value) == f"cannot pickle '{GENERATOR_TYPE_NAME}' object"
