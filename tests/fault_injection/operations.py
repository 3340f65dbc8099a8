"""The catalogue of the module's operations, one row each, read by the
allocation-failure sweep and by the leak check.

A row is (setup, act, entries, gives): setup() builds fresh objects in a
namespace, act(state) gives the callable and its arguments, gives says what
the call must give (see returns and raises), and entries names the traceback
entries of the module's own functions that a MemoryError met during the call
may carry (besides none at all, for a failure outside the module, and the
entries the unfailed call carries).
"""

import copy
import functools
import gc
import inspect
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
from support import REFUSAL, generator_at, module_entries

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


def free_colours_taken():
    """Live colours holding every recycled one, so that making a colour
    allocates."""
    from vantel.color.color import Color

    return [Color(0, 0, 0) for _ in range(100)]


def new_through_table(consumer):
    return lambda: types.SimpleNamespace(consumer=consumer, held=free_colours_taken())


def module():
    import vantel.color.color

    return types.SimpleNamespace(m=vantel.color.color, c=colour().c)


def color_type():
    from vantel.color.color import Color

    return types.SimpleNamespace(Color=Color, held=free_colours_taken())


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
    return Like(f"a generator, {state}",
                lambda value: type(value).__name__ == "generator"
                and inspect.getgeneratorstate(value) == state)


def returns(*value):
    return ("returns", *value)


def raises(kind, message, *entries):
    return ("raises", kind, message, list(entries))


def unmet(gives, result, exception):
    """How an outcome (the result, or the exception raised) differs from
    what the row must give; None if it does not."""
    if gives[0] == "raises":
        _, kind, message, entries = gives
        if exception is None:
            return f"returned {result!r} instead of raising {kind.__name__}({message!r})"
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
    """name -> (setup, act, entries, gives).  The import rows are driven
    apart, in a fresh process per failing allocation."""
    keywords = functools.partial
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
    return rows


# Pickling with _pickle keeps a few blocks for each of its own failed
# allocations, whatever the object; the module's part of these rows is
# checked for leaks through c.__reduce_ex__(2) and g.__reduce__.
INTERPRETER_LEAKS = frozenset({"pickle.dumps(c)", "pickle.dumps([c])", "pickle.dumps(g)"})

# The names, for the parametrisation of the test (no consumer needed).
NAMES = tuple(operations(None))
