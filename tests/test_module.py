"""Loading vantel.color.color: the module object and its namespace, how the
create function reads the import spec, registration under the full dotted
name, the one-interpreter rule, the exported symbols of the shared object and
the capsule that publishes Color's method table.

Checks that depend on what has already been loaded into the interpreter run in
fresh processes.
"""

import builtins
import ctypes
import importlib
import json
import subprocess
import sys

import pytest

import vantel.color.color as color_module
from support import INIT_ENTRY, INTERPRETER_CHANGE, REDUCE_ENTRY, SETTER_ENTRIES, body_entry, run_python
from vantel.color.color import Color

SO_PATH = color_module.__file__
FLAG = "__pyx_module_is_main_vantel__color__color"
REINITIALISATION = "Module 'color' has already been imported. Re-initialisation is not supported."


def run_json(code, *args):
    """Runs `code` in a fresh interpreter and decodes the JSON it prints last."""
    result = run_python(code, *args)
    return json.loads(result.stdout.splitlines()[-1])


# The module definition straight from the init function, and the platform call
# that runs its create function on a spec of our choosing.
MODULE_API = """
import ctypes
import sys

init = ctypes.PyDLL(sys.argv[1]).PyInit_color
init.restype = ctypes.py_object
definition = init()

create_module = ctypes.pythonapi.PyModule_FromDefAndSpec2
create_module.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
create_module.restype = ctypes.py_object

exec_module = ctypes.pythonapi.PyModule_ExecDef
exec_module.argtypes = [ctypes.py_object, ctypes.py_object]
exec_module.restype = ctypes.c_int

def create(spec):
    return create_module(definition, spec, 1013)
"""


def test_repeated_imports_give_the_same_module():
    saved = sys.modules["vantel.color.color"]
    try:
        assert importlib.import_module("vantel.color.color") is saved
        del sys.modules["vantel.color.color"]
        again = importlib.import_module("vantel.color.color")
        assert again is saved
        assert again.Color is Color
        assert sys.modules["vantel.color.color"] is saved
    finally:
        sys.modules["vantel.color.color"] = saved


def test_namespace():
    namespace = vars(color_module)
    assert set(namespace) == {
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
        "__builtins__",
        "Color",
        "__reduce_cython__",
        "__setstate_cython__",
        "__test__",
    }
    assert namespace["__name__"] == "vantel.color.color"
    assert namespace["__doc__"] is None
    assert namespace["__builtins__"] is builtins
    assert namespace["__test__"] == {}
    assert type(namespace["__test__"]) is dict
    assert namespace["Color"] is Color
    assert callable(namespace["__reduce_cython__"])
    assert callable(namespace["__setstate_cython__"])


@pytest.mark.parametrize("name", ["clamp_byte", "new", "new_", "_raw", "method_table"])
def test_native_interface_is_not_reachable_from_python(name):
    assert not hasattr(color_module, name)
    assert not hasattr(Color, name)
    assert not hasattr(Color(1, 2, 3), name)


LOAD_AS_COLOR = """
import importlib
import importlib.util
import json
import sys

sentinel = object()
if sys.argv[2] == "taken":
    sys.modules["vantel.color.color"] = sentinel

spec = importlib.util.spec_from_file_location("color", sys.argv[1])
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)

registered = sys.modules.get("vantel.color.color")
print(json.dumps({
    "name": module.__name__,
    "registered": "module" if registered is module else
                  "sentinel" if registered is sentinel else repr(registered),
    "color_name": module.Color.__name__,
    "top_level_registered": "color" in sys.modules,
}))
"""


@pytest.mark.parametrize(
    ("key", "registered"),
    [("free", "module"), ("taken", "sentinel")],
)
def test_loaded_under_another_name(key, registered):
    result = run_json(LOAD_AS_COLOR, SO_PATH, key)
    assert result == {
        "name": "color",
        "registered": registered,
        "color_name": "Color",
        "top_level_registered": False,
    }


CREATE_FROM_SPEC = (
    MODULE_API
    + """
import json

exec(sys.argv[2])
try:
    module = create(spec)
except BaseException as exc:
    print(json.dumps({"raised": type(exc).__name__, "message": str(exc)}))
else:
    namespace = vars(module)
    print(json.dumps({
        key: repr(namespace[key]) if key in namespace else "<absent>"
        for key in ("__name__", "__doc__", "__spec__", "__loader__", "__package__",
                    "__file__", "__path__")
    }))
    assert "vantel.color.color" not in sys.modules
"""
)

ONLY_NAME = {
    "__name__": "'probe'",
    "__doc__": "None",
    "__spec__": "None",
    "__loader__": "None",
    "__package__": "None",
    "__file__": "<absent>",
    "__path__": "<absent>",
}

def spec_with(**overrides):
    """A full spec with some attributes replaced by source expressions."""
    attributes = {
        "name": "'probe'",
        "loader": "'the loader'",
        "origin": "'/somewhere/color.so'",
        "parent": "'pkg'",
        "submodule_search_locations": "['/somewhere']",
    }
    attributes.update(overrides)
    return "from types import SimpleNamespace\nspec = SimpleNamespace({})\n".format(
        ", ".join(f"{key}={value}" for key, value in attributes.items())
    )


def spec_raising(attribute, error):
    """A spec class whose `attribute` raises `error` when read."""
    return f"""
class Spec:
    name = "probe"
    loader = "the loader"
    origin = "/somewhere/color.so"
    parent = "pkg"
    submodule_search_locations = ["/somewhere"]

    @property
    def {attribute}(self):
        raise {error}("no {attribute} here")

spec = Spec()
"""


FULL = {
    "__name__": "'probe'",
    "__doc__": "None",
    "__spec__": "None",
    "__loader__": "'the loader'",
    "__package__": "'pkg'",
    "__file__": "'/somewhere/color.so'",
    "__path__": "['/somewhere']",
}

SKIPPED = {
    "loader": {"__loader__": "None"},
    "origin": {"__file__": "<absent>"},
    "parent": {"__package__": "None"},
    "submodule_search_locations": {"__path__": "<absent>"},
}


@pytest.mark.parametrize(
    ("spec_source", "expected"),
    [
        pytest.param("class Spec:\n    name = 'probe'\nspec = Spec()", ONLY_NAME, id="only-name"),
        pytest.param(spec_with(), FULL, id="full"),
        pytest.param(
            spec_with(loader="None", parent="None"),
            {**FULL, "__loader__": "None", "__package__": "None"},
            id="loader-parent-none",
        ),
        pytest.param(
            spec_with(submodule_search_locations="None"),
            {**FULL, "__path__": "<absent>"},
            id="search-locations-none",
        ),
        pytest.param(spec_with(origin="None"), {**FULL, "__file__": "None"}, id="origin-none"),
        *(
            pytest.param(
                spec_raising(attribute, "AttributeError"),
                {**FULL, **skipped},
                id=f"{attribute}-attribute-error",
            )
            for attribute, skipped in SKIPPED.items()
        ),
        *(
            pytest.param(
                spec_raising(attribute, "LookupError"),
                {"raised": "LookupError", "message": f"no {attribute} here"},
                id=f"{attribute}-other-error",
            )
            for attribute in SKIPPED
        ),
        pytest.param(
            "spec = object()",
            {"raised": "AttributeError", "message": "'object' object has no attribute 'name'"},
            id="no-name",
        ),
    ],
)
def test_create_reads_the_spec(spec_source, expected):
    result = run_json(CREATE_FROM_SPEC, SO_PATH, spec_source)
    assert result == expected


HELD_MODULE = (
    MODULE_API
    + """
import json
from types import SimpleNamespace

class UnreadableSpec:
    name = "other"

    @property
    def loader(self):
        raise LookupError("the spec was read")

# A module object made before the import, which therefore is not the held one.
stray = create(SimpleNamespace(name="vantel.color.color"))

import vantel.color.color as held
test_dict = held.__test__
builtins_module = held.__builtins__

result = {"create_after_import": create(UnreadableSpec()) is held}
result["name_after_create"] = held.__name__
result["exec_again"] = exec_module(held, definition)
result["nothing_redone"] = held.__test__ is test_dict and held.__builtins__ is builtins_module
try:
    exec_module(stray, definition)
except BaseException as exc:
    result["exec_stray"] = [type(exc).__name__, str(exc)]
result["stray_has_color"] = hasattr(stray, "Color")
result["still_works"] = list(held.Color(1, 2, 3))
result["registered"] = sys.modules["vantel.color.color"] is held
print(json.dumps(result))
"""
)


def test_module_is_created_and_executed_once():
    assert run_json(HELD_MODULE, SO_PATH) == {
        "create_after_import": True,
        "name_after_create": "vantel.color.color",
        "exec_again": 0,
        "nothing_redone": True,
        "exec_stray": ["RuntimeError", REINITIALISATION],
        "stray_has_color": False,
        "still_works": [1, 2, 3, 255],
        "registered": True,
    }


# Each script prints the outcome of every import attempt in order; the second
# interpreter shares the first one's GIL, so only the module's own rule can
# refuse it.
SECOND_INTERPRETER = """
import _interpreters
import json
import sys

outcomes = []

def describe(snapshot):
    if snapshot is None:
        return "imported"
    return [snapshot.type.__name__, snapshot.msg]

def import_here():
    try:
        import vantel.color.color
    except ImportError as exc:
        return [type(exc).__name__, str(exc)]
    return "imported"

SUB_SCRIPT = (
    "import vantel.color.color\\n"
    "assert list(vantel.color.color.Color(4, 5, 6)) == [4, 5, 6, 255]"
)

sub = _interpreters.create("legacy")
{steps}
print(json.dumps(outcomes))
"""

MAIN_FIRST = """
outcomes.append(import_here())
outcomes.append(describe(_interpreters.run_string(sub, SUB_SCRIPT)))
import vantel.color.color
outcomes.append(list(vantel.color.color.Color(1, 2, 3)))
"""

SUB_FIRST = """
outcomes.append(describe(_interpreters.run_string(sub, SUB_SCRIPT)))
outcomes.append(import_here())
"""

FAILED_CREATE_FIRST = (
    MODULE_API
    + """
class BrokenSpec:
    name = "vantel.color.color"

    @property
    def origin(self):
        raise LookupError("broken spec")

try:
    create(BrokenSpec())
except LookupError:
    outcomes.append("create failed")
outcomes.append(describe(_interpreters.run_string(sub, SUB_SCRIPT)))
outcomes.append(import_here())
"""
)

REFUSED = ["ImportError", INTERPRETER_CHANGE]


@pytest.mark.parametrize(
    ("steps", "expected"),
    [
        pytest.param(MAIN_FIRST, ["imported", REFUSED, [1, 2, 3, 255]], id="main-first"),
        pytest.param(SUB_FIRST, ["imported", REFUSED], id="second-first"),
        pytest.param(
            FAILED_CREATE_FIRST, ["create failed", REFUSED, "imported"], id="failed-create-first"
        ),
    ],
)
def test_one_interpreter_per_process(steps, expected):
    code = SECOND_INTERPRETER.replace("{steps}", steps)
    assert run_json(code, SO_PATH) == expected


RUN_AS_MAIN = """
import ctypes
import json
import sys

flag = ctypes.c_int.in_dll(ctypes.CDLL(sys.argv[1]), sys.argv[2])
at_load = flag.value
flag.value = 1

import vantel.color.color
module = sys.modules["vantel.color.color"]
print(json.dumps({
    "at_load": at_load,
    "name": module.__name__,
    "color_module": module.Color.__module__,
    "works": list(module.Color(7, 8, 9, 10)),
}))
"""


def test_exported_flag_runs_the_module_as_main():
    assert run_json(RUN_AS_MAIN, SO_PATH, FLAG) == {
        "at_load": 0,
        "name": "__main__",
        "color_module": "vantel.color.color",
        "works": [7, 8, 9, 10],
    }


def test_exported_symbols():
    result = subprocess.run(
        ["nm", "-D", "--defined-only", SO_PATH], capture_output=True, text=True, check=True
    )
    symbols = {line.split()[-1].split("@")[0] for line in result.stdout.splitlines() if line}
    assert symbols == {"PyInit_color", FLAG}


def test_linked_libraries():
    result = subprocess.run(["readelf", "-d", SO_PATH], capture_output=True, text=True, check=True)
    needed = [
        line.split("[")[1].rstrip("]")
        for line in result.stdout.splitlines()
        if "(NEEDED)" in line
    ]
    for library in needed:
        assert not library.startswith(("libpython", "libraylib", "libGL", "libX11")), needed


def test_method_table_capsule():
    capsule = Color.__dict__["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    assert Color.__pyx_vtable__ is capsule
    assert Color(1, 2, 3).__pyx_vtable__ is capsule

    api = ctypes.pythonapi
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetContext.argtypes = [ctypes.py_object]
    api.PyCapsule_GetContext.restype = ctypes.c_void_p
    api.PyCapsule_GetDestructor.argtypes = [ctypes.py_object]
    api.PyCapsule_GetDestructor.restype = ctypes.c_void_p
    assert api.PyCapsule_GetName(capsule) is None
    assert api.PyCapsule_GetContext(capsule) is None
    assert api.PyCapsule_GetDestructor(capsule) is None


# A key of the module's namespace that looks like "__builtins__" to a hash
# lookup and runs Python code when compared: making a traceback frame looks
# "__builtins__" up, which must not happen while the error being reported is
# pending (the interpreter would turn every error into SystemError).
HOSTILE_NAMESPACE_KEY = """
import json
import vantel.color.color as module
from vantel.color.color import Color

compared = []

def module_functions(error):
    names, tb = [], error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith(("src/vantel/color/", "<stringsource>")):
            names.append(code.co_name)
        tb = tb.tb_next
    return names

class LooksLikeBuiltins(str):
    def __hash__(self):
        return hash("__builtins__")

    def __eq__(self, other):
        compared.append(1)
        return NotImplemented

namespace = vars(module)
real = namespace.pop("__builtins__")
namespace[LooksLikeBuiltins("not builtins")] = None
outcomes = []
for fail in (lambda: Color("x", 2, 3), lambda: setattr(Color(1, 2, 3), "g", "x"),
             lambda: Color(1, 2, 3).__reduce__(), lambda: iter(Color(1, 2, 3)).throw(KeyError)):
    try:
        fail()
    except BaseException as error:
        outcomes.append([type(error).__name__, module_functions(error)])
print(json.dumps({"compared": bool(compared), "outcomes": outcomes}))
"""


def test_a_hostile_namespace_key_does_not_turn_errors_into_system_errors():
    result = run_json(HOSTILE_NAMESPACE_KEY)
    assert result == {
        "compared": True,
        "outcomes": [
            ["TypeError", [INIT_ENTRY[0]]],
            ["TypeError", [SETTER_ENTRIES["g"][0]]],
            ["TypeError", [REDUCE_ENTRY[0]]],
            ["KeyError", [body_entry(0)[0]]],
        ],
    }
