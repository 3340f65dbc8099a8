"""The generator that iterating a colour returns, as a full Python generator.

Besides next() it answers send(), throw() and close() at every resume point,
forms thrown exceptions by the raise rule, refuses re-entrant use, and
carries the usual generator attributes. The protocol is checked against a
Python generator with the same body over the same colour: the same actions
must give the same values, exceptions and states. What is the module's own
is checked by hand: an exception that arrives in the body gets one traceback
entry "__iter__" whose line tells the resume point (14 before the first
value, 15..18 after r, g, b, a) and finishes the generator, which then holds
nothing of its body.
"""

import abc
import collections.abc
import copy
import ctypes
import gc
import inspect
import os
import pickle
import re
import sys
import types
import warnings
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
from support import (
    FINISHED,
    IMPLEMENTATION_FILE,
    body_entry,
    generator_at,
    module_entries,
    name_lookups_running,
    run_python,
    traceback_entries,
)
from vantel.color.color import Color

VALUES = (11, 22, 33, 44)
POINTS = [0, 1, 2, 3, 4, FINISHED]
GENERATOR_TYPE_NAME = "vantel.color.color.generator"


# --- the protocol, against Python's own generators -----------------------------
#
# Each action is done to a Color's generator and to a Python generator with
# the same body over the same colour, brought to the same resume point: what
# comes out (the value, or the exception as a caller sees it) and the state
# left behind must be the same.  What is the module's own is checked by hand
# beside: the traceback entries, how its generator looks once finished, and
# that it finishes where a Python generator that has not started would not.


def python_iter(colour):
    """A Python generator with the body of Color.__iter__: each channel is
    read when it is produced."""
    yield colour.r
    yield colour.g
    yield colour.b
    yield colour.a


def python_generator_at(point, colour=None):
    return generator_at(point, Color(*VALUES) if colour is None else colour, python_iter)


def seen(value, given=()):
    """`value` as a caller can compare it between two runs: an object given
    to the call is named by its place, an exception by all it shows."""
    for index, argument in enumerate(given):
        if value is argument and argument is not None:
            return ("given", index)
    if value is not None and value is InitFails.failure:
        return ("raised by the constructor",)
    if isinstance(value, BaseException):
        return {
            "type": type(value),
            "args": tuple(seen(argument, given) for argument in value.args),
            "str": str(value),
            "value": seen(value.value, given) if isinstance(value, StopIteration) else None,
            "cause": seen(value.__cause__, given),
            "context": seen(value.__context__, given),
            "suppress_context": value.__suppress_context__,
        }
    return value


def outcome(generator, action, given=()):
    """What `action` gives when done to `generator`, ("gave", value) or
    ("raised", exception) as seen(), and the exception itself or None."""
    try:
        result = action(generator)
    except BaseException as exc:  # GeneratorExit and KeyboardInterrupt are outcomes too
        return ("raised", seen(exc, given)), exc
    return ("gave", seen(result, given)), None


def running_state(generator):
    return inspect.getgeneratorstate(generator), generator.gi_running, generator.gi_suspended


def state(generator):
    """What a caller can read of a generator's state, then the values left in it."""
    return running_state(generator), list(generator)


def assert_finished(generator):
    """A finished generator of the module: nothing left of its body."""
    assert generator.gi_code is None
    assert generator.gi_frame is None
    assert generator.__name__ is None
    assert generator.gi_running is False
    for _ in range(2):
        with pytest.raises(StopIteration) as info:
            next(generator)
        assert info.value.args == ()


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


RESUMES = {
    "next": next,
    "__next__": lambda g: g.__next__(),
    "send-None": lambda g: g.send(None),
    "send-None-then-value": lambda g: (g.send(None), g.send(99)),
    **{
        f"send-{value!r}": lambda g, value=value: g.send(value)
        for value in [99, "text", 5, 0, "", False, (), object()]
    },
    "send-slot-None": lambda g: send_through_the_slot(g, None),
    "send-slot-value": lambda g: send_through_the_slot(g, 99),
    "close": lambda g: g.close(),
    "close-twice": lambda g: (g.close(), g.close()),
}


@pytest.mark.parametrize("point", POINTS)
@pytest.mark.parametrize("action", RESUMES.values(), ids=RESUMES.keys())
def test_next_send_and_close_do_what_a_python_generator_does(action, point):
    colour = Color(*VALUES)
    generator, reference = generator_at(point, colour), python_generator_at(point, colour)
    assert running_state(generator) == running_state(reference)
    got, exc = outcome(generator, action)
    assert got == outcome(reference, action)[0]
    if point == 0 and exc is not None:
        # A value sent before the first is refused inside the body, which
        # finishes the module's generator; Python's stays fresh.
        assert module_entries(exc) == [body_entry(0)]
        assert state(generator) == (("GEN_CLOSED", False, False), [])
    else:
        assert exc is None or module_entries(exc) == []
        assert state(generator) == state(reference)
    assert_finished(generator)


# --- throw ---------------------------------------------------------------------


class Custom(Exception):
    pass


class CustomSub(Custom):
    pass


class StopSub(StopIteration):
    pass


class NewReturnsInt(Exception):
    def __new__(cls, *args):
        return 42


class InitFails(Exception):
    failure = None

    def __init__(self, *args):
        InitFails.failure = KeyError("raised by the constructor")
        raise InitFails.failure


class Handled(Exception):
    pass


class Registered(Exception, metaclass=abc.ABCMeta):
    """Counts the classes registered with it as its subclasses."""


class Virtual(Exception):
    pass


Registered.register(Virtual)


class RefusingMeta(type):
    def __subclasscheck__(cls, subclass):
        return False


class Refusing(Exception, metaclass=RefusingMeta):
    """Counts no class as its subclass, not even itself."""


class FailingCheckMeta(type):
    def __subclasscheck__(cls, subclass):
        raise LookupError("no subclass check here")


class FailingCheck(Exception, metaclass=FailingCheckMeta):
    pass


def make_traceback():
    """A traceback object of its own, recognisable by its line number."""
    return types.TracebackType(None, sys._getframe(), 0, 4242)


# The arguments of each throw() call, made afresh for each generator.
THROWS = {
    # The argument count is checked before anything else.
    "no-arguments": lambda: (),
    "four-arguments": lambda: (Custom, None, None, None),
    "five-arguments": lambda: (Custom, 1, None, 2, 3),
    # The traceback argument is checked first.
    "tb-int": lambda: (Custom, None, 5),
    "tb-str-with-instance-and-value": lambda: (Custom("x"), 5, "tb"),
    "tb-int-with-non-exception": lambda: (1, None, 5),
    "tb-frame": lambda: (Custom, None, sys._getframe()),
    # An instance takes no separate value.
    "instance-and-int": lambda: (Custom("x"), 5),
    "instance-and-tuple": lambda: (Custom("x"), (1,)),
    "instance-and-instance": lambda: (Custom("x"), Custom("y")),
    "instance-alone": lambda: (Custom("made earlier"),),
    "instance-value-None": lambda: (Custom("made earlier"), None),
    "instance-value-and-tb-None": lambda: (Custom("made earlier"), None, None),
    # Neither an exception class nor an instance.
    "int": lambda: (1,),
    "int-and-value": lambda: (1, 5),
    "None": lambda: (None,),
    "str": lambda: ("ValueError",),
    "non-exception-class": lambda: (int,),
    "object": lambda: (object(),),
    # A class is called with what the value gives.
    "class-alone": lambda: (Custom,),
    "class-value-None": lambda: (Custom, None),
    "class-value-and-tb-None": lambda: (Custom, None, None),
    "value-error-class": lambda: (ValueError,),
    "generator-exit-class": lambda: (GeneratorExit,),
    "keyboard-interrupt-class": lambda: (KeyboardInterrupt,),
    "class-and-own-instance": lambda: (Custom, Custom("given")),
    "class-and-subclass-instance": lambda: (Custom, CustomSub("given")),
    "base-exception-and-subclass-instance": lambda: (BaseException, CustomSub("given")),
    "class-and-tuple": lambda: (Custom, (1, "two", None)),
    "class-and-empty-tuple": lambda: (Custom, ()),
    "class-and-int": lambda: (Custom, 5),
    "class-and-list": lambda: (Custom, [1, 2]),
    "class-and-str": lambda: (ValueError, "message"),
    "class-and-unrelated-instance": lambda: (Custom, KeyError("k")),
    "subclass-and-base-instance": lambda: (CustomSub, Custom("base")),
    # The class decides what is its instance, and its test may fail; only
    # an exception is tested.
    "abc-and-registered-instance": lambda: (Registered, Virtual("given")),
    "class-refusing-own-instance": lambda: (Refusing, Refusing("given")),
    "failing-check-and-instance": lambda: (FailingCheck, Custom("given")),
    "failing-check-and-int": lambda: (FailingCheck, 5),
    # What the class call gives back.
    "new-returns-int": lambda: (NewReturnsInt,),
    "constructor-raises": lambda: (InitFails,),
    # A real traceback object.
    "class-with-traceback": lambda: (Custom, None, make_traceback()),
    "instance-with-traceback": lambda: (Custom("with tb"), None, make_traceback()),
    # A StopIteration that would leave the body.
    "stop-class": lambda: (StopIteration,),
    "stop-class-and-value": lambda: (StopIteration, 7),
    "stop-subclass": lambda: (StopSub,),
    "stop-instance": lambda: (StopIteration(7),),
    "stop-subclass-instance": lambda: (StopSub("sub"),),
    "stop-class-and-subclass-instance": lambda: (StopIteration, StopSub("sub")),
}


# The raise rule words three of its errors as a raise statement does, where
# the throw() of Python's generators words them its own way.
RAISE_RULE_WORDS = [
    (
        re.compile(r"throw\(\) third argument must be a traceback object"),
        "raise: arg 3 must be a traceback or None",
    ),
    (
        re.compile(r"exceptions must be classes or instances deriving from BaseException, not \w+"),
        "raise: exception class must be a subclass of BaseException",
    ),
    (
        re.compile(r"(calling .* should have returned an instance of BaseException), not (\w+)"),
        r"\1, not <class '\2'>",
    ),
]


def in_raise_rule_words(got):
    """An outcome of a Python generator's throw() with its error texts
    worded as the raise rule words them."""
    kind, exception = got
    if kind == "raised" and isinstance(exception, dict):
        for pattern, words in RAISE_RULE_WORDS:
            match = pattern.fullmatch(exception["str"])
            if match:
                text = match.expand(words)
                return kind, {**exception, "args": (text,), "str": text}
    return got


def python_throw(generator, given):
    """throw(*given) on a Python generator, without the warning it gives
    for the three-argument form."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return generator.throw(*given)


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
    assert chain[chain.index(given) :] == [given]
    assert traceback_entries(exc)[-1][2] == 4242


@pytest.mark.parametrize("point", POINTS)
@pytest.mark.parametrize("arguments", THROWS.values(), ids=THROWS.keys())
def test_throw_does_what_a_python_generator_does(arguments, point):
    given = arguments()
    reaches_body = point != FINISHED and 1 <= len(given) <= 3
    # The module's body meets a thrown exception before the first value as
    # a Python generator meets it at a yield; one that has not started lets
    # a StopIteration out unchanged instead.
    reference = python_generator_at(1 if reaches_body and point == 0 else point)
    generator = generator_at(point)
    reference_given = arguments()
    # Called while an exception is being handled, which is the context of
    # what is raised, and not of what is thrown in.
    try:
        raise Handled("being handled")
    except Handled:
        got, exc = outcome(generator, lambda g: g.throw(*given), given)
        expected, _ = outcome(
            reference, lambda g: python_throw(g, reference_given), reference_given
        )
    assert got == in_raise_rule_words(expected)
    assert got[0] == "raised"
    assert module_entries(exc) == ([body_entry(point)] if reaches_body else [])
    if len(given) == 3 and isinstance(given[2], types.TracebackType):
        assert_given_traceback_follows(exc, given[2], point == FINISHED)
    if reaches_body:
        expected_state = state(reference)
        if expected_state[0][0] != "GEN_CLOSED":
            # The raise rule's own errors are raised inside the body, which
            # finishes the generator; Python's throw() raises them without
            # resuming its generator.
            expected_state = (("GEN_CLOSED", False, False), [])
        assert state(generator) == expected_state
    else:
        assert state(generator) == state(python_generator_at(point))
    assert_finished(generator)


# Formatting the error's first %R runs the metaclass's __repr__, which here
# changes the class of the object the class call returned and has the old
# class collected: the second %R must still name that class, which is only
# safe while throw() holds it.  Under the debug allocator freed memory is
# overwritten, so reading it crashes or names something else.
RETURNED_CLASS_COLLECTED_WHILE_FORMATTING = """
import gc
from vantel.color.color import Color

returned = []

class Meta(type):
    def __repr__(cls):
        returned[0].__class__ = Replacement
        gc.collect()
        return "<the exception class>"

class Replacement:
    pass

class ReturnsOther(Exception, metaclass=Meta):
    def __new__(cls, *args):
        returned.append(type("Returned", (Replacement,), {})())
        return returned[0]

try:
    iter(Color(1, 2, 3)).throw(ReturnsOther)
except TypeError as error:
    print(error)
"""


def test_throw_names_the_returned_class_even_once_it_is_collected():
    result = run_python(
        RETURNED_CLASS_COLLECTED_WHILE_FORMATTING, env={**os.environ, "PYTHONMALLOC": "debug"}
    )
    assert result.stdout == (
        "calling <the exception class> should have returned an instance of "
        "BaseException, not <class '__main__.Returned'>\n"
    )


# --- re-entrant use ------------------------------------------------------------


REENTRANT_USES = {
    "next": next,
    "send-slot": lambda g: send_through_the_slot(g, None),
    "send-None": lambda g: g.send(None),
    "send-value": lambda g: g.send(5),
    "throw-class": lambda g: g.throw(KeyError),
    "throw-instance": lambda g: g.throw(KeyError("inner")),
    "close": lambda g: g.close(),
}


def used_while_running(generator, use):
    """The state of `generator` read while it runs, what `use` gives when
    done to it then, and its state after."""
    before = running_state(generator)
    got, _ = outcome(generator, use)
    return before, got, running_state(generator)


def python_generator_using_itself(use, caught=True):
    """What used_while_running gives for a Python generator that uses itself
    from its own body, or (`caught` false) what its next() raises when the
    use's error leaves the body."""
    inside = []

    def body():
        if caught:
            inside.append(used_while_running(generator, use))
        else:
            inside.append(running_state(generator))
            use(generator)
        yield

    generator = body()
    got, _ = outcome(generator, next)
    return inside[0] if caught else (inside[0], got)


@pytest.mark.parametrize("use", REENTRANT_USES.values(), ids=REENTRANT_USES.keys())
@pytest.mark.parametrize("point", [0, 1, 2, 3, 4])
def test_using_the_generator_while_throw_forms_its_exception_is_refused(use, point):
    colour = Color(*VALUES)
    generator = generator_at(point, colour)
    other = iter(colour)
    inside = []

    class Reentrant(Exception):
        def __init__(self, *args):
            super().__init__(*args)
            inside.append(used_while_running(generator, use))
            # Another generator over the same colour is not affected.
            inside.append(next(other))

    with pytest.raises(Reentrant) as info:
        generator.throw(Reentrant)
    assert inside == [python_generator_using_itself(use), VALUES[0]]
    assert module_entries(info.value) == [body_entry(point)]
    assert_finished(generator)


@pytest.mark.parametrize("use", REENTRANT_USES.values(), ids=REENTRANT_USES.keys())
@pytest.mark.parametrize("point", [0, 2, 4])
def test_the_refusal_is_what_throw_raises_when_the_constructor_lets_it_out(use, point):
    generator = generator_at(point)
    inside = []

    class Reentrant(Exception):
        def __init__(self, *args):
            super().__init__(*args)
            inside.append(running_state(generator))
            use(generator)

    got, exc = outcome(generator, lambda g: g.throw(Reentrant))
    assert (inside[0], got) == python_generator_using_itself(use, caught=False)
    assert module_entries(exc) == [body_entry(point)]
    assert_finished(generator)


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
    unwanted = (
        CO_VARARGS | CO_VARKEYWORDS | CO_COROUTINE | CO_ITERABLE_COROUTINE | CO_ASYNC_GENERATOR
    )
    assert code.co_flags & unwanted == 0

    frame = generator.gi_frame
    assert isinstance(frame, types.FrameType)
    assert frame.f_code is code
    assert generator.gi_frame is frame
    assert generator.gi_code is code


def test_the_generator_offers_the_attributes_of_python_generators():
    def offered(generator):
        return {name for name in dir(generator) if not name.startswith("__")}

    assert offered(iter(Color(1, 2, 3))) == offered(python_iter(Color(1, 2, 3)))


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
    ("meanwhile", "finishes"),
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
            seen.append(
                (
                    generator.gi_running,
                    inspect.getgeneratorstate(generator),
                    generator.__name__,
                    generator.gi_code,
                    next(generator, "ended"),
                )
            )

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


def test_the_collector_sees_all_a_generator_holds():
    generator = generator_at(2)
    frame = generator.gi_frame
    generator.__module__ = module_name = ["any object"]
    generator.__name__ = name = "".join(["re", "named"])
    (record,) = [
        held
        for held in gc.get_referents(generator)
        if type(held).__name__ == "__pyx_scope_struct____iter__"
    ]
    # The qualified name and the code object are the module's, not held.
    held = [record, frame, name, module_name]
    assert sorted(map(id, gc.get_referents(generator))) == sorted(map(id, held))


class Name(str):
    """A string that can refer to other objects."""


def referring_name(generator):
    name = Name("named")
    name.generator = generator
    return name


# Ways to make a generator hold an object that refers back to it (the cycle
# through its colour is in test_iteration; the code object is shared and
# refers to nothing).
CYCLES = {
    "frame": lambda g: setattr(g.gi_frame, "f_trace", [g]),
    "__name__": lambda g: setattr(g, "__name__", referring_name(g)),
    "__qualname__": lambda g: setattr(g, "__qualname__", referring_name(g)),
    "__module__": lambda g: setattr(g, "__module__", [g]),
}


@pytest.mark.parametrize("point", [0, 2])
@pytest.mark.parametrize("make_cycle", CYCLES.values(), ids=CYCLES.keys())
def test_a_cycle_through_what_a_generator_holds_is_collected(make_cycle, point):
    generator = generator_at(point)
    make_cycle(generator)
    ref = weakref.ref(generator)
    del generator
    gc.collect()
    assert ref() is None


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


@pytest.mark.parametrize(
    "name",
    ["gi_running", "gi_code", "gi_frame", "gi_yieldfrom"]
    + (["gi_state"] if hasattr(types.GeneratorType, "gi_state") else []),
)
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
    # The running interpreter's own generators decide which gi_ attributes
    # there are (3.15 added gi_state).
    python_generator = (value for value in ())
    assert {name for name in dir(generator) if name.startswith("gi_")} == {
        name for name in dir(python_generator) if name.startswith("gi_")
    }


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
    [
        pytest.param(lambda g, p=p: pickle.dumps(g, protocol=p), id=f"pickle-{p}")
        for p in range(pickle.HIGHEST_PROTOCOL + 1)
    ]
    + [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")],
)
@pytest.mark.parametrize("point", [0, 2, FINISHED])
def test_generators_cannot_be_pickled_or_copied(copier, point):
    generator = generator_at(point)
    with pytest.raises(TypeError) as info:
        copier(generator)
    assert str(info.value) == f"cannot pickle '{GENERATOR_TYPE_NAME}' object"
