"""The catalogue of the module's operations, one row each, read by the
allocation-failure sweep and by the leak check.

A row (Operation) is setup, act, entries, gives: setup() builds the objects
in a namespace (fresh ones, or the shared ones of `shared`), act(state)
gives the callable and its arguments, gives says what the call must give
(see returns and raises), and entries names the traceback entries of the
module's own functions that a MemoryError met during the call may carry
(besides none at all, for a failure outside the module, and the entries the
unfailed call carries).  The leak check runs every row; the sweep runs the
rows marked swept.  A row marked finalises makes, on each call, one
instance whose __del__ counts itself in shared().deleted.
"""

import _thread
import abc
import contextvars
import copy
import ctypes
import functools
import gc
import inspect
import operator
import pickle
import threading
import types
import warnings
import weakref
from collections.abc import Callable
from typing import Any, NamedTuple

from support import (
    CHANNEL_NAMES,
    EXEC_ENTRY,
    EXEC_REDUCE_ENTRY,
    EXEC_SETSTATE_ENTRY,
    FINISHED,
    REFUSAL,
    generator_at,
    module_entries,
    name_lookups_running,
)
from support import INIT_ENTRY as INIT
from support import ITER_ENTRY as ITER
from support import NEW_ENTRY as NEW
from support import REDUCE_ENTRY as REDUCE
from support import REPR_ENTRY as REPR
from support import SETSTATE_ARGUMENTS_ENTRY as SETSTATE_ARGUMENTS
from support import SETSTATE_ENTRY as SETSTATE
from support import SETTER_ENTRIES as SETTERS
from support import body_entry as body

INIT_EXEC = {EXEC_ENTRY, EXEC_REDUCE_ENTRY, EXEC_SETSTATE_ENTRY}


class Operation(NamedTuple):
    setup: Callable[[], Any] | None
    act: Callable[[Any], tuple] | None
    entries: set
    gives: tuple | None
    swept: bool = True
    finalises: bool = False


def colour():
    from vantel.color.color import Color

    return types.SimpleNamespace(c=Color(10, 20, 30, 40))


def at(point):
    """A setup: a colour and a generator over it at resume point `point`."""

    def setup():
        state = colour()
        state.g = generator_at(point, state.c)
        return state

    return setup


class Odd(Exception):
    """An exception class whose call returns something else."""

    def __new__(cls, *args):
        return 42


def reentrant(state):
    """An exception class whose construction uses the running generator."""

    class Reentrant(Exception):
        def __init__(self, *args):
            super().__init__(*args)
            next(state.g)

    return Reentrant


def a_traceback():
    try:
        raise KeyError("tb")
    except KeyError as error:
        return error.__traceback__


def free_lists_empty():
    """A colour, and live generators holding every free generator and
    iteration record, so that iterating allocates both."""
    state = colour()
    state.holders = [iter(state.c) for _ in range(40)]
    return state


def referents_after(filler, target):
    """gc.get_referents over `filler` items, then `target`: the list it
    fills grows (allocates) at its 1st, 5th and 9th item, so the filler
    moves the failure onto each reference the target's traversal visits."""
    return gc.get_referents(tuple(range(filler)), target)


def with_frame(state):
    state.g.gi_frame  # made on first access, then visited
    return state


def unpack(c):
    r, g, b, a = c
    return (r, g, b, a)


def unpack_three(c):
    r, g, b = c
    return (r, g, b)


# Thread lifetimes in one call of a thread row, so that a leak of a block
# in every other thread passes the leak check's threshold.
LIFETIMES = 5


def in_threading_thread(work):
    thread = threading.Thread(target=work)
    thread.start()
    thread.join()


def in_thread_module_thread(work):
    _thread.start_joinable_thread(work).join()


# A C thread entering the interpreter through PyGILState_Ensure, as a ctypes
# callback run by pthread_create does, whose thread state then goes.
C_START = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)
LIBC = ctypes.CDLL(None)


def in_c_thread(work):
    start = C_START(lambda _: work())
    thread = ctypes.c_ulong()
    assert LIBC.pthread_create(ctypes.byref(thread), None, start, None) == 0
    assert LIBC.pthread_join(thread, None) == 0


def threads_ending(run_in_thread, work, *arguments):
    """work(*arguments) in LIFETIMES threads, one after the other, each of
    which ends before the next starts, so that whatever a thread keeps for
    itself (a free list) is released with it; the last result."""
    results = []
    for _ in range(LIFETIMES):
        run_in_thread(lambda: results.append(work(*arguments)))
    return results[-1]


HELD = contextvars.ContextVar("held")
THREAD_LOCAL = threading.local()


class Carrier(Exception):
    pass


def held_by_context(c):
    HELD.set(iter(c))


def held_by_handled_exception(c):
    """The thread state's handled exception, which outlives the thread's
    frames and goes only when its state is cleared."""
    carrier = Carrier()
    carrier.held = iter(c)
    ctypes.pythonapi.PyErr_SetHandledException(ctypes.py_object(carrier))


def held_by_thread_local(c):
    THREAD_LOCAL.held = iter(c)


def made_by_threads_dropped_here(c):
    """Iterators that LIFETIMES threads make and this thread drops while
    their maker ends, which may leave their release to the maker's end."""
    for _ in range(LIFETIMES):
        box = []
        thread = threading.Thread(target=lambda box=box: box.extend(iter(c) for _ in range(3)))
        thread.start()
        while thread.is_alive():
            box.clear()
        box.clear()


def loop(c):
    total = []
    for value in c:
        total.append(value)
    return total


def new_through_table(consumer):
    return lambda: types.SimpleNamespace(consumer=consumer)


def module():
    import vantel.color.color

    return types.SimpleNamespace(m=vantel.color.color, c=colour().c)


def color_type():
    from vantel.color.color import Color

    return types.SimpleNamespace(Color=Color)


# What an operation must give when no allocation fails: `returns(value)` (or
# `returns()` for any value) or `raises(kind, message, *entries)`.


class Like:
    """Equal to any object for which `test` holds; for values such as a
    colour or a generator that have no value equality of their own."""

    def __init__(self, description, test):
        self.description = description
        self.test = test

    def __eq__(self, other):
        return self.test(other)

    def __repr__(self):
        return self.description


def a_colour(*channels):
    def test(value):
        # Imported only when compared: the sweep reads the catalogue before
        # the module may be imported.
        from vantel.color.color import Color

        return type(value) is Color and tuple(value) == channels

    return Like(f"a Color{channels}", test)


def a_generator(state):
    return Like(
        f"a generator, {state}",
        lambda value: (
            type(value).__name__ == "generator" and inspect.getgeneratorstate(value) == state
        ),
    )


def returns(*value):
    return ("returns", *value)


def raises(kind, message=None, *entries):
    """Raising `kind`; with no message, any exception of that very type."""
    return ("raises", kind, message, list(entries))


def unmet(gives, result, exception):
    """How an outcome (the result, or the exception raised) differs from
    what the row must give; None if it does not."""
    if gives[0] == "raises":
        _, kind, message, entries = gives
        if exception is None:
            return f"returned {result!r} instead of raising {kind.__name__}({message!r})"
        if message is None:
            return None if type(exception) is kind else f"raised {exception!r}, not {kind.__name__}"
        got = (type(exception), str(exception), module_entries(exception))
        if got != (kind, message, entries):
            return f"raised {got} instead of {(kind, message, entries)}"
        return None
    if exception is not None:
        return f"raised {exception!r} instead of returning"
    if len(gives) == 2:
        value = gives[1]
        if not (value == result and (isinstance(value, Like) or type(result) is type(value))):
            return f"returned {result!r} instead of {value!r}"
    return None


def operations(consumer):
    """name -> Operation.  The import rows are swept apart, in a fresh
    process per failing allocation, and are not run by the leak check."""
    keywords = functools.partial
    # One row per operation, its parts on as few lines as they fit.
    # fmt: off
    rows = {
        # Construction, positional and by keyword, and each error row.
        "Color(1, 2, 3)": (
            color_type, lambda s: (s.Color, 1, 2, 3), {INIT}, returns(a_colour(1, 2, 3, 255))),
        "Color(1, 2, 3, 4)": (
            color_type, lambda s: (s.Color, 1, 2, 3, 4), {INIT}, returns(a_colour(1, 2, 3, 4))),
        "Color(300, -4, 10)": (
            color_type, lambda s: (s.Color, 300, -4, 10), {INIT},
            returns(a_colour(255, 0, 10, 255))),
        "Color(r=, g=, b=)": (
            color_type, lambda s: (keywords(s.Color, r=1, g=2, b=3),), {INIT},
            returns(a_colour(1, 2, 3, 255))),
        "Color(1, g=, b=, a=)": (
            color_type, lambda s: (keywords(s.Color, 1, g=2, b=3, a=4),), {INIT},
            returns(a_colour(1, 2, 3, 4))),
        "Color.__init__ again": (
            colour, lambda s: (s.c.__init__, 5, 6, 7), {INIT}, returns(None)),
        "Color.__init__ by keyword": (
            colour, lambda s: (keywords(s.c.__init__, 5, b=7, g=6),), {INIT}, returns(None)),
        "Color(1, 2)": (
            color_type, lambda s: (s.Color, 1, 2), {INIT},
            raises(TypeError, "__init__() takes at least 3 positional arguments (2 given)", INIT)),
        "Color(1, 2, 3, 4, 5)": (
            color_type, lambda s: (s.Color, 1, 2, 3, 4, 5), {INIT},
            raises(TypeError, "__init__() takes at most 4 positional arguments (5 given)", INIT)),
        "Color(1, 2, 3, x=)": (
            color_type, lambda s: (keywords(s.Color, 1, 2, 3, x=1),), {INIT},
            raises(TypeError, "__init__() got an unexpected keyword argument 'x'", INIT)),
        "Color(1, 2, 3, r=)": (
            color_type, lambda s: (keywords(s.Color, 1, 2, 3, r=1),), {INIT},
            raises(TypeError, "__init__() got multiple values for keyword argument 'r'", INIT)),
        "Color(g=, b=)": (
            color_type, lambda s: (keywords(s.Color, g=1, b=2),), {INIT},
            raises(TypeError, "__init__() takes at least 3 positional arguments (0 given)", INIT)),
        "Color('x', 2, 3)": (
            color_type, lambda s: (s.Color, "x", 2, 3), {INIT},
            raises(TypeError, "an integer is required", INIT)),
        "Color(2**40, 2, 3)": (
            color_type, lambda s: (s.Color, 2**40, 2, 3), {INIT},
            raises(OverflowError, "value too large to convert to int", INIT)),
        "Color(2**70, 2, 3)": (
            color_type, lambda s: (s.Color, 2**70, 2, 3), {INIT},
            raises(OverflowError, "Python int too large to convert to C long", INIT)),
        "Color(1.5, 2, 3)": (
            color_type, lambda s: (s.Color, 1.5, 2, 3), {INIT}, returns(a_colour(1, 2, 3, 255))),
        "Color.__init__ 'x'": (
            colour, lambda s: (s.c.__init__, 1, "x", 3), {INIT},
            raises(TypeError, "an integer is required", INIT)),
        # The eight properties: reads, writes, a failing conversion, deletion.
        "read every property": (
            colour,
            lambda s: (operator.attrgetter(*SETTERS), s.c), set(),
            returns((10, 20, 30, 40, 10, 20, 30, 40))),
        **{
            f"c.{name} = 300": (colour, lambda s, name=name: (setattr, s.c, name, 300),
                                {entry}, returns(None))
            for name, entry in SETTERS.items()
        },
        "c.g = 'x'": (
            colour, lambda s: (setattr, s.c, "g", "x"), {SETTERS["g"]},
            raises(TypeError, "an integer is required", SETTERS["g"])),
        "c.alpha = 2**70": (
            colour, lambda s: (setattr, s.c, "alpha", 2**70), {SETTERS["alpha"]},
            raises(OverflowError, "Python int too large to convert to C long", SETTERS["alpha"])),
        "del c.b": (
            colour, lambda s: (delattr, s.c, "b"), set(), raises(NotImplementedError, "__del__")),
        # Text form.
        "repr(c)": (colour, lambda s: (repr, s.c), {REPR}, returns("Color(10, 20, 30, 40)")),
        "str(c)": (colour, lambda s: (str, s.c), {REPR}, returns("Color(10, 20, 30, 40)")),
        # Iteration and its consumers.
        "iter(c)": (colour, lambda s: (iter, s.c), {ITER}, returns(a_generator("GEN_CREATED"))),
        "iter(c), nothing free to reuse": (
            free_lists_empty, lambda s: (iter, s.c), {ITER}, returns(a_generator("GEN_CREATED"))),
        "list(c)": (colour, lambda s: (list, s.c), {ITER}, returns([10, 20, 30, 40])),
        "tuple(c)": (colour, lambda s: (tuple, s.c), {ITER}, returns((10, 20, 30, 40))),
        "30 in c": (colour, lambda s: (operator.contains, s.c, 30), {ITER}, returns(True)),
        "r, g, b, a = c": (colour, lambda s: (unpack, s.c), {ITER}, returns((10, 20, 30, 40))),
        "r, g, b = c": (
            colour, lambda s: (unpack_three, s.c), {ITER},
            raises(ValueError, "too many values to unpack (expected 3)")),
        "for value in c": (colour, lambda s: (loop, s.c), {ITER}, returns([10, 20, 30, 40])),
        # Each way a thread can end with the module's objects to release.
        **{
            f"list(c) in {kind} threads that end": (
                colour, lambda s, run=run: (threads_ending, run, list, s.c), {ITER},
                returns([10, 20, 30, 40]), False)
            for kind, run in [("threading", in_threading_thread),
                              ("_thread", in_thread_module_thread), ("C", in_c_thread)]
        },
        **{
            f"iter(c) held by {holder} as a {kind} thread ends": (
                colour, lambda s, run=run, hold=hold: (threads_ending, run, hold, s.c),
                {ITER}, returns(None), False)
            for holder, kind, run, hold in [
                ("its context", "C", in_c_thread, held_by_context),
                ("its handled exception", "C", in_c_thread, held_by_handled_exception),
                ("its handled exception", "threading", in_threading_thread,
                 held_by_handled_exception),
                ("a threading.local", "threading", in_threading_thread, held_by_thread_local)]
        },
        "iterators made by threads that end, dropped by another": (
            colour, lambda s: (made_by_threads_dropped_here, s.c), {ITER}, returns(None), False),
        # The generator protocol at its resume points.
        **{
            f"next(g) at {point}": (
                at(point), lambda s: (next, s.g), {body(min(point, 4))},
                returns((10, 20, 30, 40)[point]) if point < 4 else raises(StopIteration, ""))
            for point in range(6)
        },
        "send(None) fresh": (at(0), lambda s: (s.g.send, None), set(), returns(10)),
        "send(5) fresh": (
            at(0), lambda s: (s.g.send, 5), {body(0)},
            raises(TypeError, "can't send non-None value to a just-started generator", body(0))),
        "send(5) after r": (at(1), lambda s: (s.g.send, 5), set(), returns(20)),
        "send(None) at end": (at(4), lambda s: (s.g.send, None), set(), raises(StopIteration, "")),
        "close() fresh": (at(0), lambda s: (s.g.close,), {body(0)}, returns(None)),
        "close() suspended": (at(2), lambda s: (s.g.close,), {body(2)}, returns(None)),
        "close() finished": (at(5), lambda s: (s.g.close,), set(), returns(None)),
        "throw() no argument": (
            at(1), lambda s: (s.g.throw,), set(),
            raises(TypeError, "throw expected at least 1 argument, got 0")),
        "throw(ValueError)": (
            at(1), lambda s: (s.g.throw, ValueError), {body(1)}, raises(ValueError, "", body(1))),
        "throw(ValueError) fresh": (
            at(0), lambda s: (s.g.throw, ValueError), {body(0)}, raises(ValueError, "", body(0))),
        "throw(ValueError) finished": (
            at(5), lambda s: (s.g.throw, ValueError), set(), raises(ValueError, "")),
        "throw(StopIteration)": (
            at(3), lambda s: (s.g.throw, StopIteration), {body(3)},
            raises(RuntimeError, "generator raised StopIteration", body(3))),
        "throw(1)": (
            at(1), lambda s: (s.g.throw, 1), {body(1)},
            raises(TypeError, "raise: exception class must be a subclass of BaseException", body(1))),
        "throw(instance)": (
            at(4), lambda s: (s.g.throw, ValueError("v")), {body(4)},
            raises(ValueError, "v", body(4))),
        "throw(instance, 5)": (
            at(1), lambda s: (s.g.throw, ValueError("v"), 5), {body(1)},
            raises(TypeError, "instance exception may not have a separate value", body(1))),
        "throw(ValueError, instance)": (
            at(1), lambda s: (s.g.throw, ValueError, KeyError("k")), {body(1)},
            raises(ValueError, "'k'", body(1))),
        "throw(ValueError, own instance)": (
            at(1), lambda s: (s.g.throw, LookupError, KeyError("k")), {body(1)},
            raises(KeyError, "'k'", body(1))),
        "throw(ValueError, tuple)": (
            at(2), lambda s: (s.g.throw, ValueError, ("a", "b")), {body(2)},
            raises(ValueError, "('a', 'b')", body(2))),
        "throw(ValueError, value)": (
            at(2), lambda s: (s.g.throw, ValueError, "x"), {body(2)},
            raises(ValueError, "x", body(2))),
        "throw(ValueError, None, 5)": (
            at(1), lambda s: (s.g.throw, ValueError, None, 5), {body(1)},
            raises(TypeError, "raise: arg 3 must be a traceback or None", body(1))),
        "throw(ValueError, None, tb)": (
            at(1), lambda s: (s.g.throw, ValueError, None, a_traceback()), {body(1)},
            raises(ValueError, "", body(1))),
        "throw(class returning 42)": (
            at(1), lambda s: (s.g.throw, Odd), {body(1)},
            raises(TypeError, f"calling {Odd!r} should have returned an instance of "
                   f"BaseException, not {int!r}", body(1))),
        "throw(re-entrant class)": (
            at(1), lambda s: (s.g.throw, reentrant(s)), {body(1)},
            raises(ValueError, "generator already executing", body(1))),
        # Traversal by the collector's visitor that fails: the generator, its
        # iteration record and a module-level function.
        **{
            f"gc.get_referents(g) after {filler}": (
                lambda: with_frame(at(1)()),
                lambda s, filler=filler: (referents_after, filler, s.g), set(), returns())
            for filler in range(5)
        },
        "gc.get_referents(record)": (
            at(1), lambda s: (gc.get_referents, gc.get_referents(s.g)[0]), set(),
            returns([a_colour(10, 20, 30, 40)])),
        **{
            f"gc.get_referents(__reduce_cython__) after {filler}": (
                module, lambda s, filler=filler: (referents_after, filler,
                                                  s.m.__reduce_cython__), set(), returns())
            for filler in range(5)
        },
        # Generator attributes and refusals.
        "g.gi_frame": (at(1), lambda s: (getattr, s.g, "gi_frame"), set(), returns()),
        "generator attributes": (
            at(1),
            lambda s: (operator.attrgetter("gi_running", "gi_suspended", "gi_yieldfrom",
                                           "gi_code", "__name__", "__qualname__",
                                           "__module__"), s.g),
            set(), returns()),
        "g.__name__ = 'x'": (at(1), lambda s: (setattr, s.g, "__name__", "x"), set(),
                             returns(None)),
        "g.__qualname__ = 5": (
            at(1), lambda s: (setattr, s.g, "__qualname__", 5), set(),
            raises(TypeError, "__qualname__ must be set to a string object")),
        "pickle.dumps(g)": (
            at(1), lambda s: (pickle.dumps, s.g), set(),
            raises(TypeError, "cannot pickle 'vantel.color.color.generator' object")),
        "g.__reduce__()": (
            at(1), lambda s: (s.g.__reduce__,), set(),
            raises(TypeError, "cannot pickle 'vantel.color.color.generator' object")),
        # The pickling refusals and the module-level functions.
        "c.__reduce__()": (
            colour, lambda s: (s.c.__reduce__,), {REDUCE}, raises(TypeError, REFUSAL, REDUCE)),
        "c.__reduce__(1)": (
            colour, lambda s: (s.c.__reduce__, 1), set(),
            raises(TypeError, "__reduce_cython__() takes exactly 0 positional arguments (1 given)")),
        "c.__reduce__(protocol=)": (
            colour, lambda s: (keywords(s.c.__reduce__, protocol=2),), set(),
            raises(TypeError, "__reduce_cython__() got an unexpected keyword argument 'protocol'")),
        "c.__reduce_ex__(2)": (
            colour, lambda s: (s.c.__reduce_ex__, 2), {REDUCE}, raises(TypeError, REFUSAL, REDUCE)),
        "c.__setstate__(None)": (
            colour, lambda s: (s.c.__setstate__, None), {SETSTATE},
            raises(TypeError, REFUSAL, SETSTATE)),
        "c.__setstate__(__pyx_state=)": (
            colour, lambda s: (keywords(s.c.__setstate__, __pyx_state=None),), {SETSTATE},
            raises(TypeError, REFUSAL, SETSTATE)),
        "c.__setstate__()": (
            colour, lambda s: (s.c.__setstate__,), {SETSTATE_ARGUMENTS},
            raises(TypeError, "__setstate_cython__() takes exactly 1 positional argument "
                   "(0 given)", SETSTATE_ARGUMENTS)),
        "c.__setstate__(1, x=)": (
            colour, lambda s: (keywords(s.c.__setstate__, 1, x=2),), {SETSTATE_ARGUMENTS},
            raises(TypeError, "__setstate_cython__() got an unexpected keyword argument 'x'",
                   SETSTATE_ARGUMENTS)),
        "c.__setstate__(1, __pyx_state=)": (
            colour, lambda s: (keywords(s.c.__setstate__, 1, __pyx_state=2),),
            {SETSTATE_ARGUMENTS},
            raises(TypeError, "__setstate_cython__() got multiple values for keyword argument "
                   "'__pyx_state'", SETSTATE_ARGUMENTS)),
        "pickle.dumps(c)": (
            colour, lambda s: (pickle.dumps, s.c), {REDUCE}, raises(TypeError, REFUSAL, REDUCE)),
        "pickle.dumps([c])": (
            colour, lambda s: (pickle.dumps, [s.c]), {REDUCE}, raises(TypeError, REFUSAL, REDUCE)),
        "copy.copy(c)": (
            colour, lambda s: (copy.copy, s.c), {REDUCE}, raises(TypeError, REFUSAL, REDUCE)),
        "copy.deepcopy(c)": (
            colour, lambda s: (copy.deepcopy, s.c), {REDUCE}, raises(TypeError, REFUSAL, REDUCE)),
        "__reduce_cython__()": (
            module, lambda s: (s.m.__reduce_cython__,), set(),
            raises(TypeError, "__reduce_cython__() needs an argument")),
        "__reduce_cython__(42)": (
            module, lambda s: (s.m.__reduce_cython__, 42), {REDUCE},
            raises(TypeError, REFUSAL, REDUCE)),
        "__setstate_cython__(c, None)": (
            module, lambda s: (s.m.__setstate_cython__, s.c, None), {SETSTATE},
            raises(TypeError, REFUSAL, SETSTATE)),
        "__setstate_cython__(c)": (
            module, lambda s: (s.m.__setstate_cython__, s.c), {SETSTATE_ARGUMENTS},
            raises(TypeError, "__setstate_cython__() takes exactly 1 positional argument "
                   "(0 given)", SETSTATE_ARGUMENTS)),
        # The native interface.
        "new through the method table": (
            new_through_table(consumer), lambda s: (s.consumer.new, 1, 300, -5, 4), {NEW},
            returns(a_colour(1, 255, 0, 4))),
        # A fresh process per failing allocation; see sweep.py.
        "import": (None, None, INIT_EXEC, None),
        "import as __main__": (None, None, INIT_EXEC, None),
    }
    # fmt: on
    return {**{name: Operation(*row) for name, row in rows.items()}, **leak_checked(consumer)}


# ---------------------------------------------------------------------------
# The shared objects of the rows that the leak check alone runs: made once,
# on first use (the module may not be imported yet when the catalogue is
# read), so that the leak check can watch their reference counts.


BIG_VALUES = (2**31, -(2**31) - 1, 2**62, 2**64, -(2**64), 10**30)

# Values that a channel cannot take, by id: how to make (or find) the value
# among the shared objects, and the exception it meets.
CONVERSION_FAILURES = {
    "None": (lambda s: None, TypeError),
    "str": (lambda s: s.text_value, TypeError),
    "bytes": (lambda s: b"1", TypeError),
    "__index__-only": (lambda s: s.index_only, TypeError),
    "__int__-raises": (lambda s: s.raising_int, ArithmeticError),
    "__int__-returns-float": (lambda s: s.float_int, TypeError),
    "__int__-returns-2**40": (lambda s: s.huge_int, OverflowError),
    "__int__-returns-2**70": (lambda s: s.very_huge_int, OverflowError),
    "nan": (lambda s: float("nan"), ValueError),
    "inf": (lambda s: float("inf"), OverflowError),
    "1e10": (lambda s: 1e10, OverflowError),
    **{f"int-{value:#x}": (lambda s, value=value: value, OverflowError) for value in BIG_VALUES},
}


@functools.cache
def shared():
    import vantel.color.color as module
    from support import Sub
    from vantel.color.color import Color

    s = types.SimpleNamespace(module=module, Color=Color, Sub=Sub, deleted=[0], resurrected=[])

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

    class WithDel(Color):
        def __del__(self):
            s.deleted[0] += 1

    class SlotsWithDel(Color):
        __slots__ = ()

        def __del__(self):
            s.deleted[0] += 1

    class Resurrecting(Color):
        def __del__(self):
            if len(s.resurrected) < 1:
                s.resurrected.append(self)

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
            return (type(self), tuple(self))

    # Pickled by reference, so found by name in this module.
    ReducingSub.__qualname__ = "ReducingSub"
    globals()["ReducingSub"] = ReducingSub

    class FailingException(Exception):
        def __init__(self, *args):
            raise LookupError("cannot make it")

    vars(s).update(
        IntLike=IntLike,
        SlotsSub=SlotsSub,
        WithDel=WithDel,
        SlotsWithDel=SlotsWithDel,
        Resurrecting=Resurrecting,
        InitOverride=InitOverride,
        PropertyOverride=PropertyOverride,
        AbstractColor=AbstractColor,
        ReducingSub=ReducingSub,
        FailingException=FailingException,
        colour=Color(10, 20, 30, 40),
        sub_colour=Sub(1, 2, 3),
        int_like=IntLike(),
        raising_int=RaisingInt(),
        float_int=FloatInt(),
        bool_int=BoolInt(),
        huge_int=HugeInt(),
        very_huge_int=VeryHugeInt(),
        index_only=IndexOnly(),
        int_subclass=IntSubclass(9),
        a_traceback=a_traceback(),
        text_value="12",
    )
    s.failing_values = {id_: value(s) for id_, (value, _) in CONVERSION_FAILURES.items()}
    # The objects whose reference counts the leak check watches; the colour
    # comes first.
    s.watched = (
        s.colour,
        s.sub_colour,
        Sub,
        WithDel,
        s.int_like,
        s.raising_int,
        s.float_int,
        s.bool_int,
        s.huge_int,
        s.very_huge_int,
        s.index_only,
        s.int_subclass,
        *s.failing_values.values(),
        s.a_traceback,
        module.__reduce_cython__,
        module.__setstate_cython__,
    )
    return s


def checked(call, kind=None, finalises=False):
    """A row over the shared objects that the leak check runs and the sweep
    does not: call(s) must return, or raise an exception of type `kind`."""
    gives = returns() if kind is None else raises(kind)
    return Operation(shared, lambda s: (call, s), set(), gives, swept=False, finalises=finalises)


def group(name, rows):
    """The rows (id, call, kind[, finalises]) under `name: id`."""
    return {f"{name}: {id_}": checked(*row) for id_, *row in rows}


def under_filter(action, operation):
    def call(s):
        with warnings.catch_warnings():
            warnings.simplefilter(action, DeprecationWarning)
            operation(s)

    return call


def delegate(s):
    def outer():
        return (yield from iter(s.colour))

    return list(outer())


def generator_in_a_cycle(s):
    holder = s.Sub(1, 2, 3)
    holder.generator = iter(holder)
    next(holder.generator)


def generator_attributes(s):
    generator = generator_at(1)
    generator.gi_running, generator.gi_yieldfrom, generator.gi_code, generator.gi_frame
    generator.__name__ = "renamed"
    generator.__qualname__ = "Renamed.renamed"
    generator.__module__ = "elsewhere"
    del generator.__module__


def frame_made_while(meanwhile):
    """gi_frame, while Python code run by the namespace lookup of making the
    frame does `meanwhile` to the same generator."""

    def call(s):
        generator = generator_at(1)
        with name_lookups_running(vars(s.module), lambda: meanwhile(generator)):
            return generator.gi_frame

    return call


def many_generators_at_once(s):
    generators = [iter(s.colour) for _ in range(20)]
    for generator in generators:
        next(generator)


def function_attributes(s):
    for function in (s.module.__reduce_cython__, s.module.__setstate_cython__):
        function.__name__, function.__qualname__, function.__module__
        function.__globals__, function.__code__, function.__doc__, repr(function)


def resurrect_once(s):
    s.Resurrecting(1, 2, 3)
    s.resurrected.clear()


def leak_checked(consumer):
    """The rows of every other way in: argument forms, conversions, the
    object protocol, subclasses and the native interface."""
    property_actions = {
        "read": (lambda name: lambda s: getattr(s.colour, name), None),
        "write": (lambda name: lambda s: setattr(s.colour, name, 100), None),
        "write-clamped": (lambda name: lambda s: setattr(s.colour, name, -1), None),
        "write-__int__": (lambda name: lambda s: setattr(s.colour, name, s.int_like), None),
        "write-float": (lambda name: lambda s: setattr(s.colour, name, 12.7), None),
        "write-None": (lambda name: lambda s: setattr(s.colour, name, None), TypeError),
        "write-overflow": (lambda name: lambda s: setattr(s.colour, name, 2**31), OverflowError),
        "delete": (lambda name: lambda s: delattr(s.colour, name), NotImplementedError),
    }
    conversion_routes = {
        "construction": lambda id_: lambda s: s.Color(1, 2, 3, s.failing_values[id_]),
        "re-init": lambda id_: (
            lambda s: s.Color.__init__(s.colour, 1, s.failing_values[id_], 3, a=4)
        ),
        "setter": lambda id_: lambda s: setattr(s.colour, "blue", s.failing_values[id_]),
    }
    int_from_int = {
        "construction": lambda s: s.Color(1, 2, s.bool_int),
        "setter": lambda s: setattr(s.colour, "g", s.bool_int),
    }
    return {
        **group(
            "construction",
            [
                ("keywords", lambda s: s.Color(r=1, g=2, b=3, a=4)),
                ("mixed", lambda s: s.Color(1, 2, b=3)),
                ("keyword-dict", lambda s: s.Color(**{"b": 3, "g": 2, "r": 1})),
                ("clamped", lambda s: s.Color(300, -5, 2**31 - 1, -(2**31))),
                ("two-digit-ints", lambda s: s.Color(2**30, -(2**30), 2**31 - 1, 5)),
                ("bools", lambda s: s.Color(True, False, 2)),
                ("floats", lambda s: s.Color(1.9, -3.99, 3.0)),
                ("__int__", lambda s: s.Color(s.int_like, s.int_like, s.int_like, s.int_like)),
                ("int-subclass", lambda s: s.Color(s.int_subclass, 1, 2)),
                ("__new__", lambda s: s.Color.__new__(s.Color)),
                ("__new__-arguments", lambda s: s.Color.__new__(s.Color, 1, 2, 3, x=4)),
                ("re-init", lambda s: s.colour.__init__(10, 20, 30, 40)),
                (
                    "re-init-keyword-dict",
                    lambda s: s.Color.__init__(s.colour, **{"r": 10, "g": 20, "b": 30, "a": 40}),
                ),
                ("re-init-mixed", lambda s: s.colour.__init__(10, 20, b=30, a=40)),
                ("subclass", lambda s: s.Sub(1, 2, 3)),
                ("subclass-keywords", lambda s: s.Sub(r=1, g=2, b=3, a=4)),
                ("slots-subclass", lambda s: s.SlotsSub(1, 2, 3)),
                ("subclass-__new__", lambda s: s.Sub.__new__(s.Sub)),
                ("super-init", lambda s: s.InitOverride(1, 2, b=3)),
                # Errors.
                ("no-arguments", lambda s: s.Color(), TypeError),
                ("five-positional-keyword", lambda s: s.Color(1, 2, 3, 4, 5, a=6), TypeError),
                ("missing-g", lambda s: s.Color(1, b=3), TypeError),
                ("unexpected-keyword", lambda s: s.Color(1, 2, x=3), TypeError),
                ("unexpected-before-multiple", lambda s: s.Color(1, 2, 3, x=1, r=2), TypeError),
                ("non-string-key", lambda s: s.Color(**{1: 2}), TypeError),
                ("None-alpha", lambda s: s.Color(1, 2, 3, None), TypeError),
                (
                    "__int__-raises",
                    lambda s: s.Color(s.raising_int, s.int_like, s.int_like),
                    ArithmeticError,
                ),
                ("overflow-alpha", lambda s: s.Color(1, 2, 3, 2**31), OverflowError),
                ("re-init-error", lambda s: s.colour.__init__(5, 6, "x"), TypeError),
                (
                    "re-init-keyword-dict-error",
                    lambda s: s.Color.__init__(s.colour, 1, 2, **{"x": 3}),
                    TypeError,
                ),
                (
                    "re-init-keyword-dict-multiple",
                    lambda s: s.Color.__init__(s.colour, 1, 2, **{"r": 3}),
                    TypeError,
                ),
                (
                    "re-init-keyword-dict-conversion",
                    lambda s: s.Color.__init__(s.colour, 1, 2, 3, a=s.huge_int),
                    OverflowError,
                ),
                (
                    "re-init-keyword-dict-missing",
                    lambda s: s.Color.__init__(s.colour, r=1, g=2),
                    TypeError,
                ),
                ("subclass-count", lambda s: s.Sub(1, 2), TypeError),
                ("subclass-unexpected", lambda s: s.Sub(1, 2, x=3), TypeError),
                ("subclass-multiple", lambda s: s.Sub(1, 2, 3, r=1), TypeError),
                ("subclass-conversion", lambda s: s.Sub(1, 2, "3"), TypeError),
                ("super-init-unexpected", lambda s: s.InitOverride(1, 2, c=3), TypeError),
                ("abstract-subclass", lambda s: s.AbstractColor(1, 2, 3), TypeError),
            ],
        ),
        # Conversion failures, through construction and through every setter.
        **group(
            "conversion failure",
            [
                (f"{route}-{id_}", make(id_), kind)
                for route, make in conversion_routes.items()
                for id_, (_, kind) in CONVERSION_FAILURES.items()
            ],
        ),
        **group(
            "int subclass from __int__",
            [
                (
                    f"{route}-{action}",
                    under_filter(action, operation),
                    DeprecationWarning if action == "error" else None,
                )
                for route, operation in int_from_int.items()
                for action in ("ignore", "error")
            ],
        ),
        **group(
            "property",
            [
                (f"{name}-{action}", make(name), kind)
                for name in CHANNEL_NAMES
                for action, (make, kind) in property_actions.items()
            ],
        ),
        **group(
            "object protocol",
            [
                ("unknown-attribute", lambda s: setattr(s.colour, "foo", 1), AttributeError),
                ("weakref", lambda s: weakref.ref(s.colour), TypeError),
                ("index", lambda s: s.colour[0], TypeError),
                ("len", lambda s: len(s.colour), TypeError),
                ("type-attribute", lambda s: setattr(s.Color, "foo", 1), TypeError),
                ("hash", lambda s: hash(s.colour)),
                ("compare", lambda s: s.colour == s.sub_colour),
            ],
        ),
        **group(
            "text form",
            [
                ("f-string", lambda s: f"{s.colour}"),
                ("format", lambda s: format(s.colour, "")),
                ("longest", lambda s: repr(s.Color(255, 255, 255, 255))),
                ("uninitialised", lambda s: repr(s.Color.__new__(s.Color))),
                ("subclass-overriding-r", lambda s: repr(s.PropertyOverride(1, 2, 3))),
            ],
        ),
        **group(
            "iteration",
            [
                ("tuple-subclass", lambda s: tuple(s.sub_colour)),
                ("subclass-overriding-r", lambda s: list(s.PropertyOverride(1, 2, 3))),
                ("membership", lambda s: 40 in s.colour),
                ("unpack", lambda s: [*s.colour]),
                ("temporary-colour", lambda s: list(iter(s.Color(1, 2, 3)))),
                ("abandoned-after-r", lambda s: generator_at(1)),
                ("abandoned-after-b", lambda s: generator_at(3)),
                ("abandoned-after-a", lambda s: generator_at(4)),
                ("exhausted", lambda s: generator_at(FINISHED)),
                ("next-after-end", lambda s: next(generator_at(FINISHED)), StopIteration),
                ("more-than-the-free-list", many_generators_at_once),
                ("collected-cycle", generator_in_a_cycle),
                ("yield-from", delegate),
            ],
        ),
        **group(
            "generator protocol",
            [
                ("send-finished", lambda s: generator_at(FINISHED).send(None), StopIteration),
                *(
                    (
                        f"throw-at-{point}",
                        lambda s, point=point: generator_at(point).throw(ValueError),
                        ValueError,
                    )
                    for point in range(2, 5)
                ),
                (
                    "throw-StopIteration",
                    lambda s: generator_at(1).throw(StopIteration),
                    RuntimeError,
                ),
                (
                    "throw-instance",
                    lambda s: generator_at(1).throw(ValueError("given")),
                    ValueError,
                ),
                (
                    "throw-class-value",
                    lambda s: generator_at(1).throw(ValueError, "value"),
                    ValueError,
                ),
                (
                    "throw-class-tuple",
                    lambda s: generator_at(1).throw(ValueError, ("a", "b")),
                    ValueError,
                ),
                (
                    "throw-traceback",
                    lambda s: generator_at(2).throw(ValueError, None, s.a_traceback),
                    ValueError,
                ),
                (
                    "throw-class-failing",
                    lambda s: generator_at(1).throw(s.FailingException),
                    LookupError,
                ),
                (
                    "throw-four-arguments",
                    lambda s: generator_at(1).throw(ValueError, 1, None, 4),
                    TypeError,
                ),
                ("attributes", generator_attributes),
                (
                    "name-after-end",
                    lambda s: setattr(generator_at(FINISHED), "__name__", "".join(["re", "named"])),
                ),
                ("gi_frame-read-while-made", frame_made_while(lambda g: g.gi_frame)),
                ("gi_frame-closed-while-made", frame_made_while(lambda g: g.close())),
                ("bad-__name__", lambda s: setattr(iter(s.colour), "__name__", 5), TypeError),
                (
                    "delete-__qualname__",
                    lambda s: delattr(iter(s.colour), "__qualname__"),
                    TypeError,
                ),
                ("weakref", lambda s: weakref.ref(iter(s.colour))),
                ("pickle", lambda s: pickle.dumps(iter(s.colour)), TypeError),
                ("copy", lambda s: copy.copy(generator_at(1)), TypeError),
                ("instantiate-type", lambda s: type(iter(s.colour))(), TypeError),
            ],
        ),
        **group(
            "pickling refusal",
            [
                (
                    "pickle-list-protocol-0",
                    lambda s: pickle.dumps([s.colour], protocol=0),
                    TypeError,
                ),
                ("pickle-subclass", lambda s: pickle.dumps(s.sub_colour), TypeError),
                ("__setstate__-dict", lambda s: s.colour.__setstate__({}), TypeError),
                ("__setstate__-two-arguments", lambda s: s.colour.__setstate__(1, 2), TypeError),
                ("__setstate__-unexpected", lambda s: s.colour.__setstate__(x=1), TypeError),
                ("type-__reduce__", lambda s: s.Color.__reduce__(s.colour), TypeError),
                (
                    "function-reduce-extra",
                    lambda s: s.module.__reduce_cython__(s.colour, 1),
                    TypeError,
                ),
                (
                    "function-reduce-keyword",
                    lambda s: s.module.__reduce_cython__(s.colour, protocol=1),
                    TypeError,
                ),
                (
                    "function-setstate-no-argument",
                    lambda s: s.module.__setstate_cython__(),
                    TypeError,
                ),
                (
                    "function-setstate-unexpected",
                    lambda s: s.module.__setstate_cython__(s.colour, x=None),
                    TypeError,
                ),
            ],
        ),
        **group(
            "module surface",
            [
                ("function-attributes", function_attributes),
                (
                    "function-bad-__name__",
                    lambda s: setattr(s.module.__reduce_cython__, "__name__", 1),
                    TypeError,
                ),
                ("subclass-with-own-__reduce__", lambda s: pickle.dumps(s.ReducingSub(1, 2, 3))),
                ("vtable-capsule", lambda s: s.Color.__pyx_vtable__),
                ("vtable-through-instance", lambda s: s.colour.__pyx_vtable__),
            ],
        ),
        # Subclasses whose instances run __del__, or come back to life in it.
        **group(
            "finaliser",
            [
                ("__del__", lambda s: s.WithDel(1, 2, 3), None, True),
                ("__del__-uninitialised", lambda s: s.WithDel.__new__(s.WithDel), None, True),
                ("__del__-without-gc", lambda s: s.SlotsWithDel(1, 2, 3), None, True),
                ("__del__-after-iteration", lambda s: list(s.WithDel(1, 2, 3)), None, True),
                (
                    "__del__-abandoned-iterator",
                    lambda s: generator_at(2, s.WithDel(1, 2, 3)),
                    None,
                    True,
                ),
                ("resurrected", resurrect_once),
            ],
        ),
        # The native interface, through the test-only consumer module.
        **group(
            "native",
            [
                ("new-many", lambda s: consumer.new_many(20)),
                ("call-type", lambda s: consumer.call_type_many(20)),
                ("clamp_byte", lambda s: consumer.clamp_byte(300)),
                ("raw", lambda s: consumer.raw(s.colour)),
                ("set-raw", lambda s: consumer.set_raw(s.colour, 10, 20, 30, 40)),
                ("capsule", lambda s: consumer.capsule_pointer(None)),
                ("capsule-wrong-name", lambda s: consumer.capsule_pointer("named"), ValueError),
            ],
        ),
    }


# Pickling with _pickle keeps a few blocks for each of its own failed
# allocations, whatever the object; the module's part of these rows is
# checked for leaks through c.__reduce_ex__(2) and g.__reduce__.
INTERPRETER_LEAKS = frozenset({"pickle.dumps(c)", "pickle.dumps([c])", "pickle.dumps(g)"})

# The names, for the parametrisation of the tests (no consumer needed): every
# row, and the rows the sweep drives.
NAMES = tuple(operations(None))
SWEPT = tuple(name for name, row in operations(None).items() if row.swept)
