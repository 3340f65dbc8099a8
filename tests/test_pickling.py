"""Colours refuse pickling and copying.

`__reduce__` and `__setstate__` of `Color` (the methods defined as
`__reduce_cython__` and `__setstate_cython__`) always raise TypeError, so
pickle, copy and deepcopy fail; subclasses may opt back in with their own
`__reduce__`. The module also exposes the two methods as module-level
function objects that take the instance as their first argument.
"""

import copy
import gc
import io
import pickle
from inspect import CO_NEWLOCALS, CO_OPTIMIZED, CO_VARARGS, CO_VARKEYWORDS

import pytest

import vantel.color.color as color_module
from support import (
    REDUCE_ENTRY,
    REFUSAL,
    SETSTATE_ARGUMENTS_ENTRY,
    SETSTATE_ENTRY,
    STRINGSOURCE,
    Sub,
    channels,
    module_entries,
    run_python,
)
from vantel.color.color import Color

CHANNELS = (12, 34, 56, 78)


def raise_type_error(call, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert type(info.value) is TypeError
    return info.value


def assert_refusal(exc, entry):
    assert str(exc) == REFUSAL
    assert exc.args == (REFUSAL,)
    assert module_entries(exc) == [entry]


@pytest.fixture
def colour():
    return Color(*CHANNELS)


# Every way of pickling or copying a colour ends in its __reduce__.
REDUCE_PATHS = [
    *[
        pytest.param(lambda c, p=p: pickle.dumps(c, protocol=p), id=f"dumps-protocol-{p}")
        for p in range(pickle.HIGHEST_PROTOCOL + 1)
    ],
    pytest.param(lambda c: pickle.dumps(c), id="dumps-default"),
    pytest.param(lambda c: pickle.dumps(c, protocol=-1), id="dumps-highest"),
    pytest.param(lambda c: pickle.dump(c, io.BytesIO()), id="dump"),
    pytest.param(lambda c: pickle.Pickler(io.BytesIO(), 2).dump(c), id="pickler"),
    pytest.param(lambda c: pickle._dumps(c, protocol=0), id="python-pickler-0"),
    pytest.param(lambda c: pickle._dumps(c, protocol=5), id="python-pickler-5"),
    pytest.param(lambda c: copy.copy(c), id="copy"),
    pytest.param(lambda c: copy.deepcopy(c), id="deepcopy"),
    pytest.param(lambda c: pickle.dumps([c]), id="dumps-list"),
    pytest.param(lambda c: pickle.dumps({"colour": c}), id="dumps-dict"),
    pytest.param(lambda c: pickle.dumps((1, [c], 2), protocol=0), id="dumps-nested-0"),
    pytest.param(lambda c: copy.deepcopy([c]), id="deepcopy-list"),
    pytest.param(lambda c: copy.deepcopy({"colours": [c]}), id="deepcopy-dict"),
    *[
        pytest.param(lambda c, p=p: c.__reduce_ex__(p), id=f"reduce-ex-{p}")
        for p in range(pickle.HIGHEST_PROTOCOL + 1)
    ],
    pytest.param(lambda c: object.__reduce_ex__(c, 2), id="object-reduce-ex"),
    pytest.param(lambda c: c.__reduce__(), id="reduce"),
    pytest.param(lambda c: c.__reduce__(**{}), id="reduce-empty-keywords"),
    pytest.param(lambda c: Color.__reduce__(c), id="type-reduce"),
    pytest.param(lambda c: Color.__dict__["__reduce__"](c), id="dict-reduce"),
]


@pytest.mark.parametrize("path", REDUCE_PATHS)
def test_pickling_and_copying_are_refused(colour, path):
    exc = raise_type_error(path, colour)
    assert_refusal(exc, REDUCE_ENTRY)
    assert channels(colour) == CHANNELS


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda c: c.__reduce__(1),
            "__reduce_cython__() takes exactly 0 positional arguments (1 given)",
        ),
        (
            lambda c: c.__reduce__(1, 2),
            "__reduce_cython__() takes exactly 0 positional arguments (2 given)",
        ),
        (
            lambda c: Color.__reduce__(c, 4),
            "__reduce_cython__() takes exactly 0 positional arguments (1 given)",
        ),
        (
            lambda c: c.__reduce__(1, protocol=2),
            "__reduce_cython__() takes exactly 0 positional arguments (1 given)",
        ),
        (
            lambda c: c.__reduce__(protocol=2),
            "__reduce_cython__() got an unexpected keyword argument 'protocol'",
        ),
        (
            lambda c: c.__reduce__(y=1, x=2),
            "__reduce_cython__() got an unexpected keyword argument 'y'",
        ),
    ],
    ids=[
        "one-positional",
        "two-positional",
        "type-one-positional",
        "positional-before-keyword",
        "keyword",
        "first-keyword",
    ],
)
def test_reduce_argument_errors_add_no_entry(colour, call, message):
    exc = raise_type_error(call, colour)
    assert str(exc) == message
    assert exc.args == (message,)
    assert module_entries(exc) == []
    assert channels(colour) == CHANNELS


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.__setstate__(None),
        lambda c: c.__setstate__({}),
        lambda c: c.__setstate__((1, 2, 3, 4)),
        lambda c: c.__setstate__(c),
        lambda c: c.__setstate__(__pyx_state=None),
        lambda c: Color.__setstate__(c, None),
        lambda c: Color.__setstate__(c, __pyx_state={}),
        lambda c: Color.__dict__["__setstate__"](c, None),
    ],
    ids=[
        "none",
        "empty-dict",
        "tuple",
        "itself",
        "keyword",
        "type",
        "type-keyword",
        "dict",
    ],
)
def test_setstate_is_refused(colour, call):
    exc = raise_type_error(call, colour)
    assert_refusal(exc, SETSTATE_ENTRY)
    assert channels(colour) == CHANNELS


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda c: c.__setstate__(),
            "__setstate_cython__() takes exactly 1 positional argument (0 given)",
        ),
        (
            lambda c: Color.__setstate__(c),
            "__setstate_cython__() takes exactly 1 positional argument (0 given)",
        ),
        (
            lambda c: c.__setstate__(1, 2),
            "__setstate_cython__() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda c: c.__setstate__(1, 2, 3),
            "__setstate_cython__() takes exactly 1 positional argument (3 given)",
        ),
        (
            lambda c: c.__setstate__(1, 2, x=3),
            "__setstate_cython__() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda c: c.__setstate__(1, __pyx_state=2),
            "__setstate_cython__() got multiple values for keyword argument '__pyx_state'",
        ),
        (
            lambda c: c.__setstate__(x=1),
            "__setstate_cython__() got an unexpected keyword argument 'x'",
        ),
        (
            lambda c: c.__setstate__(None, x=1),
            "__setstate_cython__() got an unexpected keyword argument 'x'",
        ),
        (
            lambda c: c.__setstate__(x=1, __pyx_state=2),
            "__setstate_cython__() got an unexpected keyword argument 'x'",
        ),
        (
            lambda c: c.__setstate__(__pyx_state=2, x=1),
            "__setstate_cython__() got an unexpected keyword argument 'x'",
        ),
        (
            lambda c: c.__setstate__(None, y=1, x=2),
            "__setstate_cython__() got an unexpected keyword argument 'y'",
        ),
    ],
    ids=[
        "none",
        "type-none",
        "two",
        "three",
        "count-before-keywords",
        "multiple-values",
        "keyword-only-unknown",
        "positional-and-unknown",
        "unknown-before-state",
        "unknown-after-state",
        "first-unknown",
    ],
)
def test_setstate_argument_errors(colour, call, message):
    exc = raise_type_error(call, colour)
    assert str(exc) == message
    assert exc.args == (message,)
    assert module_entries(exc) == [SETSTATE_ARGUMENTS_ENTRY]
    assert channels(colour) == CHANNELS


def test_type_dictionary_holds_the_renamed_methods():
    namespace = Color.__dict__
    assert namespace["__reduce__"].__name__ == "__reduce_cython__"
    assert namespace["__setstate__"].__name__ == "__setstate_cython__"
    assert Color.__reduce__.__name__ == "__reduce_cython__"
    assert Color.__setstate__.__name__ == "__setstate_cython__"
    assert namespace["__reduce__"].__doc__ is None
    assert namespace["__setstate__"].__doc__ is None
    for absent in ("__reduce_cython__", "__setstate_cython__", "__reduce_ex__", "__getstate__"):
        assert absent not in namespace
    assert Color.__reduce_ex__ is object.__reduce_ex__


@pytest.mark.parametrize("name", ["__reduce_cython__", "__setstate_cython__"])
@pytest.mark.parametrize("owner", [Color, Color(1, 2, 3)], ids=["type", "instance"])
def test_original_method_names_are_gone(owner, name):
    assert not hasattr(owner, name)


@pytest.mark.parametrize(
    ("name", "defined_name"),
    [("__reduce__", "__reduce_cython__"), ("__setstate__", "__setstate_cython__")],
)
def test_bound_methods_keep_their_own_names(colour, name, defined_name):
    method = getattr(colour, name)
    assert method.__name__ == defined_name
    assert method.__self__ is colour


class WithReduce(Color):
    def __reduce__(self):
        return (type(self), (self.r, self.g, self.b, self.a))


class WithReduceEx(Color):
    def __reduce_ex__(self, protocol):
        return (type(self), (self.r, self.g, self.b, self.a))


class WithCopyHooks(Color):
    def __copy__(self):
        return type(self)(self.r, self.g, self.b, self.a)

    def __deepcopy__(self, memo):
        return type(self)(self.r, self.g, self.b, self.a)


@pytest.mark.parametrize(
    "path",
    [
        pytest.param(lambda c: pickle.dumps(c, protocol=0), id="dumps-0"),
        pytest.param(lambda c: pickle.dumps(c, protocol=5), id="dumps-5"),
        pytest.param(lambda c: copy.copy(c), id="copy"),
        pytest.param(lambda c: copy.deepcopy(c), id="deepcopy"),
        pytest.param(lambda c: c.__reduce__(), id="reduce"),
    ],
)
def test_subclass_inherits_the_refusal(path):
    colour = Sub(*CHANNELS)
    colour.extra = "state"
    exc = raise_type_error(path, colour)
    assert_refusal(exc, REDUCE_ENTRY)
    assert channels(colour) == CHANNELS


@pytest.mark.parametrize("cls", [WithReduce, WithReduceEx], ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "clone",
    [
        *[
            pytest.param(lambda c, p=p: pickle.loads(pickle.dumps(c, protocol=p)), id=f"pickle-{p}")
            for p in range(pickle.HIGHEST_PROTOCOL + 1)
        ],
        pytest.param(copy.copy, id="copy"),
        pytest.param(copy.deepcopy, id="deepcopy"),
    ],
)
def test_subclass_with_its_own_reduce_round_trips(cls, clone):
    colour = cls(*CHANNELS)
    twin = clone(colour)
    assert type(twin) is cls
    assert twin is not colour
    assert channels(twin) == CHANNELS
    assert repr(twin) == repr(colour)


def test_subclass_with_copy_hooks_copies_but_does_not_pickle():
    colour = WithCopyHooks(*CHANNELS)
    for twin in (copy.copy(colour), copy.deepcopy(colour)):
        assert type(twin) is WithCopyHooks
        assert channels(twin) == CHANNELS
    exc = raise_type_error(pickle.dumps, colour)
    assert_refusal(exc, REDUCE_ENTRY)


MODULE_FUNCTIONS = [
    pytest.param("__reduce_cython__", 1, ("self",), id="reduce"),
    pytest.param("__setstate_cython__", 3, ("self", "__pyx_state"), id="setstate"),
]


@pytest.mark.parametrize("name", ["__reduce_cython__", "__setstate_cython__"])
def test_module_function_attributes(name):
    function = getattr(color_module, name)
    assert vars(color_module)[name] is function
    assert function.__name__ == name
    assert function.__qualname__ == f"Color.{name}"
    assert function.__module__ == "vantel.color.color"
    assert function.__globals__ is vars(color_module)
    held = [
        function.__name__,
        function.__qualname__,
        function.__module__,
        function.__globals__,
        function.__code__,
    ]
    assert sorted(map(id, gc.get_referents(function))) == sorted(map(id, held))


# The module's functions live as long as its namespace: a fresh interpreter
# takes them out of it and makes each the only way to what it holds.
FUNCTIONS_IN_CYCLES = """
import gc
import weakref
import vantel.color.color as module

class Name(str):
    pass

refs = []
for key in ("__reduce_cython__", "__setstate_cython__"):
    function = vars(module).pop(key)
    for attribute in ("__name__", "__qualname__", "__module__"):
        held = Name(key)
        held.function = function
        setattr(function, attribute, held)
        refs.append(weakref.ref(held))
del function, held
gc.collect()
print(sum(ref() is None for ref in refs))
"""


def test_a_cycle_through_what_a_module_function_holds_is_collected():
    assert run_python(FUNCTIONS_IN_CYCLES).stdout == "6\n"


@pytest.mark.parametrize(("name", "first_line", "varnames"), MODULE_FUNCTIONS)
def test_module_function_code(name, first_line, varnames):
    code = getattr(color_module, name).__code__
    assert code.co_name == name
    assert code.co_qualname == name
    assert code.co_filename == STRINGSOURCE
    assert code.co_firstlineno == first_line
    assert code.co_argcount == len(varnames)
    assert code.co_varnames == varnames
    assert code.co_flags & (CO_OPTIMIZED | CO_NEWLOCALS) == CO_OPTIMIZED | CO_NEWLOCALS
    assert code.co_flags & (CO_VARARGS | CO_VARKEYWORDS) == 0


@pytest.mark.parametrize("name", ["__reduce_cython__", "__setstate_cython__"])
@pytest.mark.parametrize(
    "kwargs", [{}, {"__pyx_state": None}, {"x": 1}], ids=["bare", "state", "x"]
)
def test_module_function_needs_an_argument(name, kwargs):
    exc = raise_type_error(getattr(color_module, name), **kwargs)
    message = f"{name}() needs an argument"
    assert str(exc) == message
    assert exc.args == (message,)
    assert module_entries(exc) == []


@pytest.mark.parametrize("name", ["__reduce_cython__", "__setstate_cython__"])
def test_needs_an_argument_uses_the_defined_name(monkeypatch, name):
    function = getattr(color_module, name)
    try:
        monkeypatch.setattr(function, "__name__", "renamed")
    except (AttributeError, TypeError):
        pytest.skip("the function's __name__ cannot be reassigned")
    assert function.__name__ == "renamed"
    exc = raise_type_error(function)
    assert str(exc) == f"{name}() needs an argument"
    assert module_entries(exc) == []


@pytest.mark.parametrize(
    ("attribute", "value", "message"),
    [
        ("__qualname__", "Elsewhere.f", None),
        ("__qualname__", 5, "__qualname__ must be set to a string object"),
        ("__module__", "elsewhere", None),
        ("__module__", None, None),
    ],
)
@pytest.mark.parametrize("name", ["__reduce_cython__", "__setstate_cython__"])
def test_module_function_names_are_reassigned_as_python_functions_are(
    monkeypatch, name, attribute, value, message
):
    function = getattr(color_module, name)
    if message is None:
        monkeypatch.setattr(function, attribute, value)
        assert getattr(function, attribute) == value
    else:
        with pytest.raises(TypeError) as info:
            setattr(function, attribute, value)
        assert str(info.value) == message


@pytest.mark.parametrize("instance", [42, None, "text", Color(*CHANNELS)], ids=repr)
def test_module_reduce_refuses_like_the_method(instance):
    exc = raise_type_error(color_module.__reduce_cython__, instance)
    reference = raise_type_error(Color(1, 2, 3).__reduce__)
    assert exc.args == reference.args
    assert module_entries(exc) == module_entries(reference) == [REDUCE_ENTRY]
    assert_refusal(exc, REDUCE_ENTRY)


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((None,), {}), (({},), {}), ((), {"__pyx_state": None})],
    ids=["positional", "dict", "keyword"],
)
@pytest.mark.parametrize("instance", [42, Color(*CHANNELS)], ids=["int", "colour"])
def test_module_setstate_refuses(instance, args, kwargs):
    exc = raise_type_error(color_module.__setstate_cython__, instance, *args, **kwargs)
    assert_refusal(exc, SETSTATE_ENTRY)


@pytest.mark.parametrize(
    ("call", "message", "entries"),
    [
        (
            lambda: color_module.__reduce_cython__(42, 1),
            "__reduce_cython__() takes exactly 0 positional arguments (1 given)",
            [],
        ),
        (
            lambda: color_module.__reduce_cython__(42, 1, 2),
            "__reduce_cython__() takes exactly 0 positional arguments (2 given)",
            [],
        ),
        (
            lambda: color_module.__reduce_cython__(42, protocol=2),
            "__reduce_cython__() got an unexpected keyword argument 'protocol'",
            [],
        ),
        (
            lambda: color_module.__setstate_cython__(42),
            "__setstate_cython__() takes exactly 1 positional argument (0 given)",
            [SETSTATE_ARGUMENTS_ENTRY],
        ),
        (
            lambda: color_module.__setstate_cython__(42, 1, 2),
            "__setstate_cython__() takes exactly 1 positional argument (2 given)",
            [SETSTATE_ARGUMENTS_ENTRY],
        ),
        (
            lambda: color_module.__setstate_cython__(42, 1, __pyx_state=2),
            "__setstate_cython__() got multiple values for keyword argument '__pyx_state'",
            [SETSTATE_ARGUMENTS_ENTRY],
        ),
        (
            lambda: color_module.__setstate_cython__(42, None, x=1),
            "__setstate_cython__() got an unexpected keyword argument 'x'",
            [SETSTATE_ARGUMENTS_ENTRY],
        ),
    ],
    ids=[
        "reduce-one-extra",
        "reduce-two-extra",
        "reduce-keyword",
        "setstate-missing",
        "setstate-two",
        "setstate-multiple-values",
        "setstate-unknown-keyword",
    ],
)
def test_module_function_argument_errors(call, message, entries):
    exc = raise_type_error(call)
    assert str(exc) == message
    assert exc.args == (message,)
    assert module_entries(exc) == entries


def test_module_functions_leave_a_colour_unchanged(colour):
    raise_type_error(color_module.__reduce_cython__, colour)
    raise_type_error(color_module.__setstate_cython__, colour, (1, 2, 3, 4))
    raise_type_error(color_module.__setstate_cython__, colour)
    assert channels(colour) == CHANNELS
