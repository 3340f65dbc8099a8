"""The operations that the allocation-failure sweep drives, one row each.

A row is (setup, act, entries): setup() builds fresh objects in a namespace,
act(state) gives the callable and its arguments, called from C while one
allocation fails, and entries names the traceback entries of the module's
own functions that a MemoryError may carry (besides none at all, for a
failure outside the module, and the entries the unfailed call carries).
"""

import copy
import functools
import gc
import operator
import pickle
import types

from support import EXEC_ENTRY, EXEC_REDUCE_ENTRY, EXEC_SETSTATE_ENTRY
from support import INIT_ENTRY as INIT
from support import ITER_ENTRY as ITER
from support import NEW_ENTRY as NEW
from support import REDUCE_ENTRY as REDUCE
from support import REPR_ENTRY as REPR
from support import SETSTATE_ARGUMENTS_ENTRY as SETSTATE_ARGUMENTS
from support import SETSTATE_ENTRY as SETSTATE
from support import SETTER_ENTRIES as SETTERS
from support import body_entry as body
from support import generator_at

INIT_EXEC = {EXEC_ENTRY, EXEC_REDUCE_ENTRY, EXEC_SETSTATE_ENTRY}


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
    state.g.gi_frame  # noqa: B018  made on first access, then visited
    return state


def unpack(c):
    r, g, b, a = c
    return (r, g, b, a)


def unpack_three(c):
    r, g, b = c
    return (r, g, b)


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


def operations(consumer):
    """name -> (setup, act, entries).  The import rows are driven apart, in
    a fresh process per failing allocation."""
    keywords = functools.partial
    rows = {
        # Construction, positional and by keyword, and each error row.
        "Color(1, 2, 3)": (color_type, lambda s: (s.Color, 1, 2, 3), {INIT}),
        "Color(1, 2, 3, 4)": (color_type, lambda s: (s.Color, 1, 2, 3, 4), {INIT}),
        "Color(300, -4, 10)": (color_type, lambda s: (s.Color, 300, -4, 10), {INIT}),
        "Color(r=, g=, b=)": (color_type, lambda s: (keywords(s.Color, r=1, g=2, b=3),), {INIT}),
        "Color(1, g=, b=, a=)": (
            color_type, lambda s: (keywords(s.Color, 1, g=2, b=3, a=4),), {INIT}),
        "Color.__init__ again": (
            colour, lambda s: (s.c.__init__, 5, 6, 7), {INIT}),
        "Color.__init__ by keyword": (
            colour, lambda s: (keywords(s.c.__init__, 5, b=7, g=6),), {INIT}),
        "Color(1, 2)": (color_type, lambda s: (s.Color, 1, 2), {INIT}),
        "Color(1, 2, 3, 4, 5)": (color_type, lambda s: (s.Color, 1, 2, 3, 4, 5), {INIT}),
        "Color(1, 2, 3, x=)": (color_type, lambda s: (keywords(s.Color, 1, 2, 3, x=1),), {INIT}),
        "Color(1, 2, 3, r=)": (color_type, lambda s: (keywords(s.Color, 1, 2, 3, r=1),), {INIT}),
        "Color(g=, b=)": (color_type, lambda s: (keywords(s.Color, g=1, b=2),), {INIT}),
        "Color('x', 2, 3)": (color_type, lambda s: (s.Color, "x", 2, 3), {INIT}),
        "Color(2**40, 2, 3)": (color_type, lambda s: (s.Color, 2**40, 2, 3), {INIT}),
        "Color(2**70, 2, 3)": (color_type, lambda s: (s.Color, 2**70, 2, 3), {INIT}),
        "Color(1.5, 2, 3)": (color_type, lambda s: (s.Color, 1.5, 2, 3), {INIT}),
        "Color.__init__ 'x'": (colour, lambda s: (s.c.__init__, 1, "x", 3), {INIT}),
        # The eight properties: reads, writes, a failing conversion, deletion.
        "read every property": (
            colour,
            lambda s: (operator.attrgetter(*SETTERS), s.c), set()),
        **{
            f"c.{name} = 300": (colour, lambda s, name=name: (setattr, s.c, name, 300),
                                {entry})
            for name, entry in SETTERS.items()
        },
        "c.g = 'x'": (colour, lambda s: (setattr, s.c, "g", "x"), {SETTERS["g"]}),
        "c.alpha = 2**70": (colour, lambda s: (setattr, s.c, "alpha", 2**70), {SETTERS["alpha"]}),
        "del c.b": (colour, lambda s: (delattr, s.c, "b"), set()),
        # Text form.
        "repr(c)": (colour, lambda s: (repr, s.c), {REPR}),
        "str(c)": (colour, lambda s: (str, s.c), {REPR}),
        # Iteration and its consumers.
        "iter(c)": (colour, lambda s: (iter, s.c), {ITER}),
        "iter(c), nothing free to reuse": (free_lists_empty, lambda s: (iter, s.c), {ITER}),
        "list(c)": (colour, lambda s: (list, s.c), {ITER}),
        "tuple(c)": (colour, lambda s: (tuple, s.c), {ITER}),
        "30 in c": (colour, lambda s: (operator.contains, s.c, 30), {ITER}),
        "r, g, b, a = c": (colour, lambda s: (unpack, s.c), {ITER}),
        "r, g, b = c": (colour, lambda s: (unpack_three, s.c), {ITER}),
        "for value in c": (colour, lambda s: (loop, s.c), {ITER}),
        # The generator protocol at its resume points.
        **{
            f"next(g) at {point}": (at(point), lambda s: (next, s.g), {body(min(point, 4))})
            for point in range(6)
        },
        "send(None) fresh": (at(0), lambda s: (s.g.send, None), set()),
        "send(5) fresh": (at(0), lambda s: (s.g.send, 5), {body(0)}),
        "send(5) after r": (at(1), lambda s: (s.g.send, 5), set()),
        "send(None) at end": (at(4), lambda s: (s.g.send, None), set()),
        "close() fresh": (at(0), lambda s: (s.g.close,), {body(0)}),
        "close() suspended": (at(2), lambda s: (s.g.close,), {body(2)}),
        "close() finished": (at(5), lambda s: (s.g.close,), set()),
        "throw() no argument": (at(1), lambda s: (s.g.throw,), set()),
        "throw(ValueError)": (at(1), lambda s: (s.g.throw, ValueError), {body(1)}),
        "throw(ValueError) fresh": (at(0), lambda s: (s.g.throw, ValueError), {body(0)}),
        "throw(ValueError) finished": (at(5), lambda s: (s.g.throw, ValueError), set()),
        "throw(StopIteration)": (at(3), lambda s: (s.g.throw, StopIteration), {body(3)}),
        "throw(1)": (at(1), lambda s: (s.g.throw, 1), {body(1)}),
        "throw(instance)": (at(4), lambda s: (s.g.throw, ValueError("v")), {body(4)}),
        "throw(instance, 5)": (at(1), lambda s: (s.g.throw, ValueError("v"), 5), {body(1)}),
        "throw(ValueError, instance)": (
            at(1), lambda s: (s.g.throw, ValueError, KeyError("k")), {body(1)}),
        "throw(ValueError, own instance)": (
            at(1), lambda s: (s.g.throw, LookupError, KeyError("k")), {body(1)}),
        "throw(ValueError, tuple)": (
            at(2), lambda s: (s.g.throw, ValueError, ("a", "b")), {body(2)}),
        "throw(ValueError, value)": (at(2), lambda s: (s.g.throw, ValueError, "x"), {body(2)}),
        "throw(ValueError, None, 5)": (
            at(1), lambda s: (s.g.throw, ValueError, None, 5), {body(1)}),
        "throw(ValueError, None, tb)": (
            at(1), lambda s: (s.g.throw, ValueError, None, a_traceback()), {body(1)}),
        "throw(class returning 42)": (at(1), lambda s: (s.g.throw, Odd), {body(1)}),
        "throw(re-entrant class)": (
            at(1), lambda s: (s.g.throw, reentrant(s)), {body(1)}),
        # Traversal by the collector's visitor that fails: the generator, its
        # iteration record and a module-level function.
        **{
            f"gc.get_referents(g) after {filler}": (
                lambda: with_frame(at(1)()),
                lambda s, filler=filler: (referents_after, filler, s.g), set())
            for filler in range(5)
        },
        "gc.get_referents(record)": (
            at(1), lambda s: (gc.get_referents, gc.get_referents(s.g)[0]), set()),
        **{
            f"gc.get_referents(__reduce_cython__) after {filler}": (
                module, lambda s, filler=filler: (referents_after, filler,
                                                  s.m.__reduce_cython__), set())
            for filler in range(5)
        },
        # Generator attributes and refusals.
        "g.gi_frame": (at(1), lambda s: (getattr, s.g, "gi_frame"), set()),
        "generator attributes": (
            at(1),
            lambda s: (operator.attrgetter("gi_running", "gi_suspended", "gi_yieldfrom",
                                           "gi_code", "__name__", "__qualname__",
                                           "__module__"), s.g),
            set()),
        "g.__name__ = 'x'": (at(1), lambda s: (setattr, s.g, "__name__", "x"), set()),
        "g.__qualname__ = 5": (at(1), lambda s: (setattr, s.g, "__qualname__", 5), set()),
        "pickle.dumps(g)": (at(1), lambda s: (pickle.dumps, s.g), set()),
        "g.__reduce__()": (at(1), lambda s: (s.g.__reduce__,), set()),
        # The pickling refusals and the module-level functions.
        "c.__reduce__()": (colour, lambda s: (s.c.__reduce__,), {REDUCE}),
        "c.__reduce__(1)": (colour, lambda s: (s.c.__reduce__, 1), set()),
        "c.__reduce__(protocol=)": (
            colour, lambda s: (keywords(s.c.__reduce__, protocol=2),), set()),
        "c.__reduce_ex__(2)": (colour, lambda s: (s.c.__reduce_ex__, 2), {REDUCE}),
        "c.__setstate__(None)": (colour, lambda s: (s.c.__setstate__, None), {SETSTATE}),
        "c.__setstate__(__pyx_state=)": (
            colour, lambda s: (keywords(s.c.__setstate__, __pyx_state=None),), {SETSTATE}),
        "c.__setstate__()": (colour, lambda s: (s.c.__setstate__,), {SETSTATE_ARGUMENTS}),
        "c.__setstate__(1, x=)": (
            colour, lambda s: (keywords(s.c.__setstate__, 1, x=2),), {SETSTATE_ARGUMENTS}),
        "c.__setstate__(1, __pyx_state=)": (
            colour, lambda s: (keywords(s.c.__setstate__, 1, __pyx_state=2),),
            {SETSTATE_ARGUMENTS}),
        "pickle.dumps(c)": (colour, lambda s: (pickle.dumps, s.c), {REDUCE}),
        "pickle.dumps([c])": (colour, lambda s: (pickle.dumps, [s.c]), {REDUCE}),
        "copy.copy(c)": (colour, lambda s: (copy.copy, s.c), {REDUCE}),
        "copy.deepcopy(c)": (colour, lambda s: (copy.deepcopy, s.c), {REDUCE}),
        "__reduce_cython__()": (module, lambda s: (s.m.__reduce_cython__,), set()),
        "__reduce_cython__(42)": (module, lambda s: (s.m.__reduce_cython__, 42), {REDUCE}),
        "__setstate_cython__(c, None)": (
            module, lambda s: (s.m.__setstate_cython__, s.c, None), {SETSTATE}),
        "__setstate_cython__(c)": (
            module, lambda s: (s.m.__setstate_cython__, s.c), {SETSTATE_ARGUMENTS}),
        # The native interface.
        "new through the method table": (
            new_through_table(consumer), lambda s: (s.consumer.new, 1, 300, -5, 4), {NEW}),
        # A fresh process per failing allocation; see sweep.py.
        "import": (None, None, INIT_EXEC),
        "import as __main__": (None, None, INIT_EXEC),
    }
    return rows


# Pickling with _pickle keeps a few blocks for each of its own failed
# allocations, whatever the object; the module's part of these rows is
# checked for leaks through c.__reduce_ex__(2) and g.__reduce__.
INTERPRETER_LEAKS = frozenset({"pickle.dumps(c)", "pickle.dumps([c])", "pickle.dumps(g)"})

# The names, for the parametrisation of the test (no consumer needed).
NAMES = tuple(operations(None))
