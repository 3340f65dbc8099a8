"""Fuzzing the Python surface of Color.

Hypothesis builds argument lists and keyword dictionaries from hostile
objects: integers of every size, floats including NaN and infinities,
non-numbers, int subclasses, and objects whose __int__ raises, returns odd
types, or meanwhile changes, iterates, rebuilds or drops the colour being
built.  A small model of construction, channel assignment and conversion
predicts each outcome: the channels stored, or the exception with its
message, and which __int__ methods ran.  Random call sequences drive the
iteration generator against a model of its states, and keyword dictionaries
with odd keys (str subclasses with their own hashing or equality, keys that
are not strings) must end in a colour or a TypeError.  Whatever happens, every
stored channel lies in 0..255 and the process survives.
"""

import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import (
    INIT_ENTRY,
    SETTER_ENTRIES,
    Sub,
    body_entry,
    channels,
    clamp,
    module_entries,
    run_python,
    traceback_entries,
)
from vantel.color.color import Color

pytestmark = [pytest.mark.slow, pytest.mark.representative]

EXAMPLES = 200
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

PARAMETERS = ("r", "g", "b", "a")
PROPERTIES = {"r": 0, "g": 1, "b": 2, "a": 3, "red": 0, "green": 1, "blue": 2, "alpha": 3}
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
SUBCLASS_WARNING = (
    "__int__ returned non-int (type {}).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)


class Expected(Exception):
    """The model's prediction of a failure: the exception type and, when the
    model knows it, the exact message."""

    def __init__(self, kind, message=None):
        super().__init__(kind, message)
        self.kind = kind
        self.message = message


# ---------------------------------------------------------------------------
# Hostile argument objects.


class HostileError(Exception):
    pass


class IntSubclass(int):
    pass


class IntSubclassWithOverrides(int):
    """Its stored value counts; its __int__ and __index__ must never run."""

    def __int__(self):
        raise AssertionError("__int__ of an int subclass ran")

    def __index__(self):
        raise AssertionError("__index__ of an int subclass ran")


class IndexOnly:
    def __index__(self):
        return 5


class Scene:
    """The colour the hostile objects act on, with the model's view of it."""

    def __init__(self, target):
        self.target = target
        self.model = list(channels(target))
        self.holder = [target]
        self.iterated = []


class Hostile:
    """An object whose __int__ first acts on the scene's colour, then gives
    `result`: ("int", v), ("bool", v), ("subclass", v), ("float", v),
    ("text", v), ("none",) or ("raise",)."""

    def __init__(self, result, effect, scene):
        self.result = result
        self.effect = effect
        self.scene = scene
        self.calls = 0

    def __repr__(self):
        return f"Hostile({self.result!r}, {self.effect!r})"

    def __int__(self):
        self.calls += 1
        kind, *arguments = self.effect
        target = self.scene.target
        if kind == "set":
            name, value = arguments
            setattr(target, name, value)
        elif kind == "reinit":
            target.__init__(*arguments[0])
        elif kind == "iterate":
            self.scene.iterated.append(tuple(target))
        elif kind == "drop":
            self.scene.holder.clear()
        elif kind == "build":
            Color(*arguments[0])
        kind, *arguments = self.result
        if kind == "raise":
            raise HostileError("refused")
        if kind == "bool":
            return bool(arguments[0])
        if kind == "subclass":
            return IntSubclass(arguments[0])
        if kind == "none":
            return None
        return arguments[0]

    def apply_effect_to_model(self, model):
        kind, *arguments = self.effect
        if kind == "set":
            name, value = arguments
            model[PROPERTIES[name]] = clamp(value)
        elif kind == "reinit":
            model[:] = [clamp(value) for value in arguments[0]] + [255] * (4 - len(arguments[0]))
        elif kind == "iterate":
            return tuple(model)
        return None


# ---------------------------------------------------------------------------
# The model.


def model_integer(value):
    if INT32_MIN <= value <= INT32_MAX:
        return value
    if INT64_MIN <= value <= INT64_MAX:
        raise Expected(OverflowError, "value too large to convert to int")
    raise Expected(OverflowError)


def model_convert(value, model, warning_is_error, expected_iterations):
    """object_to_int of `value` in the model; a hostile value's effect on the
    scene is applied to `model` first."""
    if isinstance(value, int):
        return model_integer(int.__index__(value))
    if isinstance(value, Hostile):
        seen = value.apply_effect_to_model(model)
        if seen is not None:
            expected_iterations.append(seen)
        kind, *arguments = value.result
        if kind == "raise":
            raise Expected(HostileError, "refused")
        if kind in ("bool", "subclass"):
            if warning_is_error:
                type_name = "bool" if kind == "bool" else "IntSubclass"
                raise Expected(DeprecationWarning, SUBCLASS_WARNING.format(type_name))
            return model_integer(int(arguments[0]))
        if kind == "int":
            return model_integer(arguments[0])
        type_name = {"float": "float", "text": "str", "none": "NoneType"}[kind]
        raise Expected(TypeError, f"__int__ returned non-int (type {type_name})")
    if not hasattr(type(value), "__int__"):
        raise Expected(TypeError, "an integer is required")
    try:
        result = type(value).__int__(value)  # only built-in types get here
    except Exception as error:
        raise Expected(type(error), str(error)) from None
    return model_integer(result)


def count_error(bound_word, bound, given):
    return Expected(
        TypeError, f"__init__() takes {bound_word} {bound} positional arguments ({given} given)"
    )


MISSING = object()


def model_bind(args, kwargs):
    """Matches the arguments of __init__ to r, g, b, a; MISSING for an omitted a."""
    n = len(args)
    if not kwargs:
        if n < 3:
            raise count_error("at least", 3, n)
        if n > 4:
            raise count_error("at most", 4, n)
        return list(args) + [MISSING] * (4 - n)
    if n > 4:
        raise count_error("at most", 4, n)
    slots = list(args) + [MISSING] * (4 - n)
    found = 0
    for index in range(n, 4):
        if PARAMETERS[index] in kwargs:
            slots[index] = kwargs[PARAMETERS[index]]
            found += 1
    if found < len(kwargs):
        for key in kwargs:
            if key in PARAMETERS[n:]:
                continue
            if key in PARAMETERS[:n]:
                raise Expected(
                    TypeError, f"__init__() got multiple values for keyword argument '{key}'"
                )
            raise Expected(TypeError, f"__init__() got an unexpected keyword argument '{key}'")
    for index in range(3):
        if slots[index] is MISSING:
            raise count_error("at least", 3, index)
    return slots


def model_init(args, kwargs, scene, warning_is_error, building_target):
    """The outcome of __init__: (channels of the colour built, expected
    iterations seen by hostile objects).  On failure, raises Expected with the
    scene's model left as the hostile effects made it."""
    slots = model_bind(args, kwargs)
    iterations = []
    values = [0, 0, 0, 255]
    for index, slot in enumerate(slots):
        if slot is not MISSING:
            values[index] = model_convert(slot, scene.model, warning_is_error, iterations)
    result = [clamp(value) for value in values]
    if building_target:
        scene.model[:] = result
    return result, iterations


# ---------------------------------------------------------------------------
# Strategies.

SPECIAL_INTEGERS = [
    0,
    -1,
    1,
    255,
    256,
    -256,
    2**30 - 1,
    2**30,
    -(2**30),
    INT32_MAX,
    INT32_MIN,
    INT32_MAX + 1,
    INT32_MIN - 1,
    2**60 - 1,
    -(2**60) + 1,
    2**60,
    2**62,
    INT64_MAX,
    INT64_MIN,
    INT64_MAX + 1,
    INT64_MIN - 1,
    2**64,
    -(2**64),
    10**40,
]
integers = st.one_of(
    st.integers(-400, 700), st.sampled_from(SPECIAL_INTEGERS), st.integers(-(2**80), 2**80)
)
small_integers = st.integers(-300, 600)
floats = st.one_of(
    st.floats(-1e3, 1e3),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([float("nan"), float("inf"), -float("inf"), 2.0**31, -(2.0**31) - 1, -0.5]),
)
non_numbers = st.sampled_from([None, "12", "", b"7", 3j, (), IndexOnly(), object()])
plain_values = st.one_of(
    integers,
    st.booleans(),
    floats,
    non_numbers,
    integers.map(IntSubclassWithOverrides),
)
results = st.one_of(
    st.tuples(st.just("int"), integers),
    st.tuples(st.just("bool"), st.booleans()),
    st.tuples(st.just("subclass"), integers),
    st.tuples(st.just("float"), st.floats(-10, 10)),
    st.tuples(st.just("text"), st.just("5")),
    st.tuples(st.just("none")),
    st.tuples(st.just("raise")),
)
effects = st.one_of(
    st.tuples(st.just("none")),
    st.tuples(st.just("set"), st.sampled_from(sorted(PROPERTIES)), small_integers),
    st.tuples(st.just("reinit"), st.lists(small_integers, min_size=3, max_size=4).map(tuple)),
    st.tuples(st.just("iterate")),
    st.tuples(st.just("drop")),
    st.tuples(st.just("build"), st.lists(small_integers, min_size=3, max_size=4).map(tuple)),
)


@st.composite
def argument_values(draw, scene):
    if draw(st.integers(0, 2)) == 0:
        return Hostile(draw(results), draw(effects), scene)
    return draw(plain_values)


@st.composite
def calls(draw, scene):
    """Positional arguments (0..5) and keyword arguments (some of r, g, b, a,
    sometimes a stray name), in a drawn order."""
    args = draw(st.lists(argument_values(scene), min_size=0, max_size=5))
    names = draw(
        st.lists(st.sampled_from(PARAMETERS + ("x", "rgba", "alpha")), unique=True, max_size=4)
    )
    kwargs = {name: draw(argument_values(scene)) for name in names}
    return args, kwargs


# ---------------------------------------------------------------------------
# Construction and re-initialisation.

CONSTRUCTION_ROUTES = ["new", "re-init", "subclass"]


@FUZZ
@given(
    data=st.data(),
    route=st.sampled_from(CONSTRUCTION_ROUTES),
    as_error=st.booleans(),
    start=st.tuples(small_integers, small_integers, small_integers, small_integers),
)
def test_construction_matches_the_model(data, route, as_error, start):
    with warnings.catch_warnings():
        warnings.simplefilter("error" if as_error else "ignore", DeprecationWarning)
        scene = Scene(Color(*start))
        args, kwargs = data.draw(calls(scene))
        building_target = route == "re-init"
        built = {}

        def run():
            if route == "new":
                built["colour"] = Color(*args, **kwargs)
            elif route == "subclass":
                built["colour"] = Sub(*args, **kwargs)
            else:
                Color.__init__(scene.target, *args, **kwargs)
                built["colour"] = scene.target

        expected_scene = Scene(scene.target)
        expected_scene.model = list(scene.model)
        hostile = [value for value in [*args, *kwargs.values()] if isinstance(value, Hostile)]
        try:
            prediction = model_init(args, kwargs, expected_scene, as_error, building_target)
        except Expected as error:
            prediction = error
        try:
            result = run()
        except Exception as error:
            assert isinstance(prediction, Expected), f"raised {error!r}, model: {prediction!r}"
            assert type(error) is prediction.kind, f"raised {error!r}, model: {prediction!r}"
            if prediction.message is not None:
                assert str(error) == prediction.message
            assert module_entries(error)[-1] == INIT_ENTRY, traceback_entries(error)
        else:
            assert result is None
            assert not isinstance(prediction, Expected), f"built {built}, model: {prediction!r}"
            produced, iterations = prediction
            assert channels(built["colour"]) == tuple(produced)
            assert scene.iterated == iterations
        assert channels(scene.target) == tuple(expected_scene.model)
        # Conversion goes r, g, b, a and stops at the first failure.
        slots = _bound_slots(args, kwargs)
        failed = False
        for slot in slots:
            if isinstance(slot, Hostile):
                assert slot.calls == (0 if failed else 1), (slot, slots)
            if not failed:
                try:
                    if slot is not MISSING:
                        model_convert(slot, list(scene.model), as_error, [])
                except Expected:
                    failed = True
        if not slots:
            assert all(value.calls == 0 for value in hostile)


def _bound_slots(args, kwargs):
    try:
        return model_bind(args, kwargs)
    except Expected:
        return []


# ---------------------------------------------------------------------------
# Channel assignment.


@FUZZ
@given(
    data=st.data(),
    name=st.sampled_from(sorted(PROPERTIES)),
    as_error=st.booleans(),
    start=st.tuples(small_integers, small_integers, small_integers, small_integers),
)
def test_assignment_matches_the_model(data, name, as_error, start):
    with warnings.catch_warnings():
        warnings.simplefilter("error" if as_error else "ignore", DeprecationWarning)
        scene = Scene(Color(*start))
        value = data.draw(argument_values(scene))
        model = list(scene.model)
        iterations = []
        try:
            converted = model_convert(value, model, as_error, iterations)
        except Expected as error:
            prediction = error
        else:
            model[PROPERTIES[name]] = clamp(converted)
            prediction = None
        try:
            setattr(scene.target, name, value)
        except Exception as error:
            assert prediction is not None, f"raised {error!r}"
            assert type(error) is prediction.kind, f"raised {error!r}, model: {prediction!r}"
            if prediction.message is not None:
                assert str(error) == prediction.message
            assert module_entries(error)[-1] == SETTER_ENTRIES[name]
        else:
            assert prediction is None, f"stored, model: {prediction!r}"
            assert scene.iterated == iterations
        assert channels(scene.target) == tuple(model)
        if isinstance(value, Hostile):
            assert value.calls == 1


# ---------------------------------------------------------------------------
# Keyword dictionaries with odd keys.


class HashedElsewhere(str):
    """Equal to its text, but hashed unlike it."""

    def __hash__(self):
        return hash(str(self)) ^ 0x5A5A


class NeverEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True


class EqualityError(Exception):
    pass


class FailingEquality(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise EqualityError(str(self))


class PlainSubclass(str):
    pass


ODD_KEY_TYPES = [HashedElsewhere, NeverEqual, FailingEquality, PlainSubclass]
odd_keys = st.one_of(
    st.builds(
        lambda kind, text: kind(text),
        st.sampled_from(ODD_KEY_TYPES),
        st.sampled_from(PARAMETERS + ("x", "")),
    ),
    st.sampled_from(PARAMETERS + ("x", "", "r" * 300, "\u00e9", "\U0001f3a8")),
)
non_string_keys = st.sampled_from([1, 2.5, b"r", None, ("r",), frozenset()])


def _add_keys(keys, values):
    kwargs = {}
    for key, value in zip(keys, values, strict=False):
        try:
            kwargs[key] = value
        except EqualityError:
            pass  # the dictionary itself refuses the key
    return kwargs


def check_colour_or_type_error(run, target, args, values):
    """A call with odd keys builds a colour from the given values, or fails
    with TypeError (or the error of a key's own __eq__) and leaves the target
    as it was."""
    try:
        colour = run()
    except (TypeError, EqualityError):
        assert channels(target) == (7, 8, 9, 10)
    else:
        allowed = {clamp(value) for value in [*args, *values]}
        assert set(channels(colour)[:3]) <= allowed
        assert colour.a in allowed | {255}


def reinit(target, *args, **kwargs):
    Color.__init__(target, *args, **kwargs)
    return target


def call_route(route, target, args, kwargs):
    if route == "new":
        return Color(*args, **kwargs)
    if route == "subclass":
        return Sub(*args, **kwargs)
    Color.__init__(target, *args, **kwargs)
    return target


# Calls that have brought the process down: each runs in a fresh interpreter.
ODD_KEY_CALLS = {
    "same-text-twice": "Color(**{NeverEqual('r'): 1, 'r': 2, 'g': 3, 'b': 4})",
    "same-text-twice-subclass": "Sub(**{NeverEqual('r'): 1, 'r': 2, 'g': 3, 'b': 4})",
    "never-equal-subclass": "Sub(1, 2, **{NeverEqual('b'): 3})",
    "never-equal-re-init": "reinit(target, **{'r': 1, 'g': 2, NeverEqual('b'): 3})",
    "hashed-elsewhere-re-init": "reinit(target, 1, 2, **{HashedElsewhere('b'): 3})",
    "hashed-elsewhere-subclass": "Sub(1, 2, **{HashedElsewhere('b'): 3})",
    "hashed-elsewhere-new": "Color(1, 2, **{HashedElsewhere('b'): 3})",
    "failing-equality-subclass": "Sub(1, 2, **{FailingEquality('b'): 3})",
}

ODD_KEY_SCRIPT = """
import sys
sys.path[:0] = {paths!r}
from test_fuzz import *
target = Color(7, 8, 9, 10)
try:
    colour = {call}
except (TypeError, EqualityError) as error:
    print(type(error).__name__, channels(target))
else:
    print("Color", channels(colour))
"""


def run_odd_key_call(call):
    import os

    here = os.path.dirname(os.path.abspath(__file__))
    return run_python(ODD_KEY_SCRIPT.format(paths=[here], call=call), check=False)


@pytest.fixture(scope="module")
def odd_key_results():
    """The fresh interpreters' results, one per call above."""
    return {name: run_odd_key_call(call) for name, call in ODD_KEY_CALLS.items()}


@pytest.mark.parametrize("name", ODD_KEY_CALLS)
def test_odd_keyword_keys_in_a_fresh_interpreter(odd_key_results, name):
    result = odd_key_results[name]
    assert result.returncode == 0, f"{ODD_KEY_CALLS[name]} ended the process:\n{result.stderr}"
    outcome, _, state = result.stdout.partition(" ")
    assert outcome in ("Color", "TypeError", "EqualityError"), result.stdout
    if outcome != "Color":
        assert state.strip() == "(7, 8, 9, 10)"


@pytest.fixture(scope="module")
def odd_keys_survive(odd_key_results):
    """Whether the calls above all survive: fuzzing in this process is only
    safe while they do (the test above reports a crash)."""
    return all(result.returncode == 0 for result in odd_key_results.values())


@FUZZ
@given(
    route=st.sampled_from(CONSTRUCTION_ROUTES),
    args=st.lists(small_integers, max_size=4),
    keys=st.lists(st.one_of(odd_keys, odd_keys, non_string_keys), max_size=5),
    values=st.lists(small_integers, min_size=5, max_size=5),
)
def test_odd_keyword_keys_give_a_colour_or_a_type_error(
    odd_keys_survive, route, args, keys, values
):
    if not odd_keys_survive:
        pytest.skip("odd keyword keys crash the interpreter (see the fresh-interpreter test)")
    kwargs = _add_keys(keys, values)
    target = Color(7, 8, 9, 10)
    check_colour_or_type_error(
        lambda: call_route(route, target, args, kwargs), target, args, list(kwargs.values())
    )


# ---------------------------------------------------------------------------
# Random call sequences on iteration generators.

GENERATOR_NAMES = ("__iter__", "Color.__iter__", "vantel.color.color")
FINISHED = 5


class ThrowSpec:
    """One throw() call: its arguments and the exception the raise rule forms."""

    def __init__(self, label, arguments, kind, message=None):
        self.label = label
        self.arguments = arguments
        self.kind = kind
        self.message = message

    def __repr__(self):
        return f"throw:{self.label}"


def _traceback():
    try:
        raise KeyError("k")
    except KeyError as error:
        return error.__traceback__


# Each throw gets fresh arguments: an exception instance keeps the traceback
# of every earlier throw.
THROWS = [
    ThrowSpec("class", lambda: (ValueError,), ValueError),
    ThrowSpec("instance", lambda: (ValueError("v"),), ValueError, "v"),
    ThrowSpec("class-value", lambda: (ValueError, "text"), ValueError, "text"),
    ThrowSpec("class-tuple", lambda: (KeyError, ("a", "b")), KeyError),
    ThrowSpec("class-None-traceback", lambda: (LookupError, None, _traceback()), LookupError),
    ThrowSpec(
        "StopIteration", lambda: (StopIteration,), RuntimeError, "generator raised StopIteration"
    ),
    ThrowSpec(
        "not-an-exception",
        lambda: (1,),
        TypeError,
        "raise: exception class must be a subclass of BaseException",
    ),
    ThrowSpec(
        "instance-with-value",
        lambda: (ValueError(), 5),
        TypeError,
        "instance exception may not have a separate value",
    ),
    ThrowSpec(
        "bad-traceback",
        lambda: (ValueError, None, 5),
        TypeError,
        "raise: arg 3 must be a traceback or None",
    ),
]
ARGUMENT_COUNT_THROWS = [
    ThrowSpec("no-arguments", lambda: (), TypeError),
    ThrowSpec("four-arguments", lambda: (ValueError, None, None, None), TypeError),
]
steps = st.one_of(
    st.tuples(st.just("next"), st.integers(0, 1)),
    st.tuples(st.just("send"), st.integers(0, 1), st.one_of(st.none(), small_integers)),
    st.tuples(st.just("throw"), st.integers(0, 1), st.sampled_from(THROWS)),
    st.tuples(st.just("bad-throw"), st.integers(0, 1), st.sampled_from(ARGUMENT_COUNT_THROWS)),
    st.tuples(st.just("close"), st.integers(0, 1)),
    st.tuples(st.just("set"), st.sampled_from(sorted(PROPERTIES)), small_integers),
    st.tuples(st.just("reinit"), st.lists(small_integers, min_size=3, max_size=4)),
    st.tuples(st.just("attributes"), st.integers(0, 1)),
    st.tuples(st.just("drop"), st.integers(0, 1)),
)


@FUZZ
@given(
    start=st.tuples(small_integers, small_integers, small_integers, small_integers),
    sequence=st.lists(steps, max_size=25),
)
def test_generator_call_sequences_match_the_model(start, sequence):
    colour = Color(*start)
    model = [clamp(value) for value in start]
    generators = [iter(colour), iter(colour)]
    points = [0, 0]

    def advance(index, sent):
        """The model of next()/send(): the value produced, or an exception."""
        point = points[index]
        if point == FINISHED:
            return Expected(StopIteration)
        if point == 0 and sent is not None:
            points[index] = FINISHED
            return Expected(TypeError, "can't send non-None value to a just-started generator")
        if point == 4:
            points[index] = FINISHED
            return Expected(StopIteration)
        points[index] = point + 1
        return model[point]

    for step in sequence:
        kind = step[0]
        if kind == "set":
            _, name, value = step
            setattr(colour, name, value)
            model[PROPERTIES[name]] = clamp(value)
            continue
        if kind == "reinit":
            colour.__init__(*step[1])
            model[:] = [clamp(value) for value in step[1]] + [255] * (4 - len(step[1]))
            continue
        index = step[1]
        generator = generators[index]
        if kind == "drop":
            # A fresh generator replaces the one dropped (closed if suspended).
            generators[index] = iter(colour)
            points[index] = 0
            continue
        if kind in ("next", "send"):
            sent = step[2] if kind == "send" else None
            expected = advance(index, sent)
            try:
                produced = generator.send(sent) if kind == "send" else next(generator)
            except (StopIteration, TypeError) as error:
                assert isinstance(expected, Expected), f"{step}: raised {error!r}"
                assert type(error) is expected.kind
                if expected.message is not None:
                    assert str(error) == expected.message
                    assert module_entries(error)[-1] == body_entry(0)
                else:
                    assert error.args == ()
            else:
                assert produced == expected, step
            continue
        if kind == "throw":
            spec = step[2]
            point = points[index]
            if point == FINISHED:
                # A finished generator hands the formed exception back as it is.
                kind = StopIteration if spec.label == "StopIteration" else spec.kind
                with pytest.raises(kind) as caught:
                    generator.throw(*spec.arguments())
                assert module_entries(caught.value) == []
            else:
                with pytest.raises(spec.kind) as caught:
                    generator.throw(*spec.arguments())
                if spec.message is not None:
                    assert str(caught.value) == spec.message
                assert module_entries(caught.value)[-1] == body_entry(point)
                if spec.label == "StopIteration":
                    assert type(caught.value.__cause__) is StopIteration
            points[index] = FINISHED
            continue
        if kind == "bad-throw":
            with pytest.raises(TypeError):
                generator.throw(*step[2].arguments())
            continue
        if kind == "close":
            assert generator.close() is None
            points[index] = FINISHED
            continue
        if kind == "attributes":
            finished = points[index] == FINISHED
            assert generator.gi_running is False
            assert generator.gi_yieldfrom is None
            names = (generator.__name__, generator.__qualname__, generator.__module__)
            assert names == ((None,) * 3 if finished else GENERATOR_NAMES)
            assert (generator.gi_code is None) == finished
            assert (generator.gi_frame is None) == finished
    assert channels(colour) == tuple(model)
    for index, generator in enumerate(generators):
        rest = list(generator)
        point = points[index]
        assert rest == ([] if point == FINISHED else model[point:])
