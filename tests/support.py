"""Helpers shared by the test modules."""

import contextlib
import importlib.util
import json
import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

TESTS = Path(__file__).resolve().parent

IMPLEMENTATION_FILE = "src/vantel/color/color.cpp"
DECLARATION_FILE = "src/vantel/color/color.h"
STRINGSOURCE = "<stringsource>"
MODULE_FILES = frozenset({IMPLEMENTATION_FILE, DECLARATION_FILE, STRINGSOURCE})

# The traceback entries (function, file, line) that the module's functions
# add to the exceptions they raise, as a user's traceback shows them.  Every
# test that checks an entry takes it from here.
CHANNEL_NAMES = ("r", "g", "b", "a", "red", "green", "blue", "alpha")
NEW_ENTRY = ("vantel.color.color.Color.new", DECLARATION_FILE, 13)
INIT_ENTRY = ("vantel.color.color.Color.__init__", IMPLEMENTATION_FILE, 3)
REPR_ENTRY = ("vantel.color.color.Color.__repr__", IMPLEMENTATION_FILE, 12)
ITER_ENTRY = ("vantel.color.color.Color.__iter__", IMPLEMENTATION_FILE, 14)
SETTER_ENTRIES = {
    name: (f"vantel.color.color.Color.{name}.__set__", IMPLEMENTATION_FILE, line)
    for name, line in zip(CHANNEL_NAMES, (26, 34, 42, 50, 59, 67, 75, 83), strict=True)
}
REDUCE_ENTRY = ("vantel.color.color.Color.__reduce_cython__", STRINGSOURCE, 2)
SETSTATE_ARGUMENTS_ENTRY = ("vantel.color.color.Color.__setstate_cython__", STRINGSOURCE, 3)
SETSTATE_ENTRY = ("vantel.color.color.Color.__setstate_cython__", STRINGSOURCE, 4)
# Module execution: a failing step, and the binding of each module-level function.
EXEC_ENTRY = ("init vantel.color.color", IMPLEMENTATION_FILE, 1)
EXEC_REDUCE_ENTRY = ("init vantel.color.color", STRINGSOURCE, 1)
EXEC_SETSTATE_ENTRY = ("init vantel.color.color", STRINGSOURCE, 3)


def body_entry(point):
    """The entry of the iteration body for an exception that meets it at
    resume point `point` (0 before the first value, 4 after the last)."""
    return ("__iter__", IMPLEMENTATION_FILE, 14 + point)


# What pickling or copying a colour raises.
REFUSAL = (
    "Pickling of struct members such as self._raw must be explicitly requested with "
    "@auto_pickle(True)"
)
# What an import from a second interpreter raises.
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
# What executing a second module object raises.
REINITIALISATION = "Module 'color' has already been imported. Re-initialisation is not supported."
# The test build that believes it was compiled for Python 254.253 warns with
# this text whenever it is executed, naming the running version.
VERSION_WARNING = (
    "compile time Python version 254.253 of module 'vantel.color.color' "
    f"does not match runtime version {sys.version_info.major}.{sys.version_info.minor}"
)


# The test suite's native builds, which the test scripts install beside the
# package (CMake option VANTEL_COLOR_TEST_BUILDS).
TEST_BUILDS = Path(sysconfig.get_paths()["platlib"]) / "vantel_color_test_builds"


def built_for_tests(name):
    """The installed test build `name`: an extension module named so (its
    file carries the interpreter's suffix), a program, or a package tree."""
    for path in (TEST_BUILDS / (name + sysconfig.get_config_var("EXT_SUFFIX")), TEST_BUILDS / name):
        if path.exists():
            return path
    raise FileNotFoundError(
        f"no test build {name!r} in {TEST_BUILDS}: install the package with "
        "-C cmake.define.VANTEL_COLOR_TEST_BUILDS=ON, as the nox session tests does"
    )


def load_extension(name, path):
    """Imports the extension module `name` from its built file."""
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise ImportError(f"no extension module {name} at {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def traceback_entries(exc):
    """Every traceback entry of `exc` as (function name, file, line), outermost first."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def module_entries(exc):
    """The traceback entries of `exc` that the extension module added."""
    return [entry for entry in traceback_entries(exc) if entry[1] in MODULE_FILES]


def run_python(code, *args, check=True, env=None, timeout=120):
    """Runs `code` in a fresh interpreter (this one's executable) and returns the result."""
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )
    if check and result.returncode != 0:
        raise AssertionError(
            f"subprocess failed with {result.returncode}\n"
            f"--- stdout\n{result.stdout}\n--- stderr\n{result.stderr}"
        )
    return result


SCENARIOS = TESTS / "scenarios"


def run_scenario(name, *args, site=None, env=None):
    """Runs the script tests/scenarios/`name`.py in a fresh interpreter with
    `args` and returns the JSON document it prints last.  The scenario can
    import the tests' own modules; `site`, the directory of a test build of
    the module, comes first on its path; `env` replaces the environment."""
    environment = dict(os.environ if env is None else env)
    environment["PYTHONPATH"] = os.pathsep.join([*([str(site)] if site else []), str(TESTS)])
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", str(SCENARIOS / f"{name}.py"), *map(str, args)],
        capture_output=True,
        text=True,
        env=environment,
        timeout=120,
    )
    if result.returncode != 0:
        raise AssertionError(
            f"scenario {name} failed with {result.returncode}\n"
            f"--- stdout\n{result.stdout}\n--- stderr\n{result.stderr}"
        )
    return json.loads(result.stdout.splitlines()[-1])


# What scenarios.common.works gives for a module made after a failed import.
WORKING = {
    "made": ["Color(255, 0, 10, 255)", [255, 0, 10, 255]],
    "stored": ["Color(255, 77, 10, 255)", [255, 77, 10, 255]],
    "refusal": [REFUSAL],
    "reduce_name": "__reduce_cython__",
    "setstate_name": "__setstate_cython__",
    "leftover_keys": [],
    "vtable": "PyCapsule",
    "test": {},
}


def run_with_injector(code, injector_path, *args):
    """Runs `code` in a fresh interpreter that can import the tests' own
    modules, with the allocation-failure injector's path as sys.argv[1]."""
    return run_python(code, str(injector_path), *args, env=dict(os.environ, PYTHONPATH=str(TESTS)))


def channels(colour):
    """The four channels of a colour, read through the short properties."""
    return (colour.r, colour.g, colour.b, colour.a)


def clamp(value):
    """The clamp rule of every channel store."""
    return 0 if value < 0 else 255 if value > 255 else value


# The resume point of a generator that has finished: after the four values
# (points 0 to 4) and the end.
FINISHED = 5


def generator_at(point, colour=None, make=iter):
    """The generator make(colour) (by default a Color's own generator over a
    fresh Color(11, 22, 33, 44)) brought to resume point `point`, checking
    each value it yields on the way."""
    if colour is None:
        from vantel.color.color import Color

        colour = Color(11, 22, 33, 44)
    generator = make(colour)
    for expected in channels(colour)[:point]:
        assert next(generator) == expected
    if point == FINISHED:
        assert list(generator) == []
    return generator


Sub: type


def __getattr__(name):
    """`Sub`, a subclass of Color that adds nothing, made on first use: the
    allocation-failure sweep imports this module before it may import the
    extension module."""
    if name != "Sub":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from vantel.color.color import Color

    global Sub

    class Sub(Color):
        pass

    return Sub


class _LooksLikeName(str):
    """A key with the hash of "__name__": a lookup of "__name__" that meets it
    compares the two, and the first such comparison runs `action`.  Once
    only: a lookup restarts when the dictionary changes under it (anything
    the action sets off may add to the namespace), and would run it again."""

    action = None

    def __hash__(self):
        return hash("__name__")

    def __eq__(self, other):
        action, _LooksLikeName.action = _LooksLikeName.action, None
        if action is not None:
            action()
        return NotImplemented


@contextlib.contextmanager
def name_lookups_running(namespace, action):
    """Within the block, the first lookup of "__name__" in `namespace` (making
    a frame with it as globals does one) runs `action()` halfway through;
    later lookups, those that `action` makes itself among them, run nothing.
    Afterwards the namespace holds what it held before."""
    name = namespace.pop("__name__")
    key = _LooksLikeName("looks like __name__")
    namespace[key] = None
    namespace["__name__"] = name  # after the key, so that a lookup meets the key first
    _LooksLikeName.action = action
    try:
        yield
    finally:
        _LooksLikeName.action = None
        del namespace[key]
