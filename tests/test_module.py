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
from support import (
    INIT_ENTRY,
    INTERPRETER_CHANGE,
    REDUCE_ENTRY,
    REINITIALISATION,
    SETTER_ENTRIES,
    body_entry,
    run_scenario,
)
from vantel.color.color import Color

pytestmark = pytest.mark.interpreters

SO_PATH = color_module.__file__
FLAG = "__pyx_module_is_main_vantel__color__color"


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


@pytest.mark.parametrize(
    ("key", "registered"),
    [("free", "module"), ("taken", "sentinel")],
)
def test_loaded_under_another_name(key, registered):
    result = run_scenario("load_under_another_name", SO_PATH, key)
    assert result == {
        "name": "color",
        "registered": registered,
        "color_name": "Color",
        "top_level_registered": False,
    }


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
    """A full spec with some attributes replaced."""
    return {"overrides": overrides}


def spec_raising(attribute, error):
    """A full spec whose `attribute` raises `error` when read."""
    return {"raising": [attribute, error]}


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
    ("spec", "expected"),
    [
        pytest.param({"only_name": True}, ONLY_NAME, id="only-name"),
        pytest.param(spec_with(), FULL, id="full"),
        pytest.param(
            spec_with(loader=None, parent=None),
            {**FULL, "__loader__": "None", "__package__": "None"},
            id="loader-parent-none",
        ),
        pytest.param(
            spec_with(submodule_search_locations=None),
            {**FULL, "__path__": "<absent>"},
            id="search-locations-none",
        ),
        pytest.param(spec_with(origin=None), {**FULL, "__file__": "None"}, id="origin-none"),
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
            {"no_name": True},
            {"raised": "AttributeError", "message": "'object' object has no attribute 'name'"},
            id="no-name",
        ),
    ],
)
def test_create_reads_the_spec(spec, expected):
    result = run_scenario("create_module", SO_PATH, json.dumps(spec))
    assert result == expected


def test_module_is_created_and_executed_once():
    assert run_scenario("created_and_executed_once", SO_PATH) == {
        "create_after_import": True,
        "name_after_create": "vantel.color.color",
        "exec_again": 0,
        "nothing_redone": True,
        "exec_stray": ["RuntimeError", REINITIALISATION],
        "stray_has_color": False,
        "still_works": [1, 2, 3, 255],
        "registered": True,
    }


REFUSED = ["ImportError", INTERPRETER_CHANGE]


@pytest.mark.parametrize(
    ("order", "expected"),
    [
        ("main-first", ["imported", REFUSED, [1, 2, 3, 255]]),
        ("second-first", ["imported", REFUSED]),
        ("failed-create-first", ["create failed", REFUSED, "imported"]),
    ],
)
def test_one_interpreter_per_process(order, expected):
    assert run_scenario("one_interpreter", SO_PATH, order) == expected


def test_exported_flag_runs_the_module_as_main():
    assert run_scenario("run_as_main", SO_PATH, FLAG) == {
        "at_load": 0,
        "name": "__main__",
        "color_module": "vantel.color.color",
        "works": [7, 8, 9, 10],
    }


# The checks below read the ELF dynamic table; the portability
# session (noxfile.py) checks the exports of a Windows build.
ELF_ONLY = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="reads the ELF dynamic table with nm and readelf"
)


@ELF_ONLY
@pytest.mark.binutils
def test_exported_symbols():
    result = subprocess.run(
        ["nm", "-D", "--defined-only", SO_PATH], capture_output=True, text=True, check=True
    )
    symbols = {line.split()[-1].split("@")[0] for line in result.stdout.splitlines() if line}
    assert symbols == {"PyInit_color", FLAG}


@ELF_ONLY
@pytest.mark.binutils
def test_linked_libraries():
    result = subprocess.run(["readelf", "-d", SO_PATH], capture_output=True, text=True, check=True)
    needed = [
        line.split("[")[1].rstrip("]") for line in result.stdout.splitlines() if "(NEEDED)" in line
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


def test_a_hostile_namespace_key_does_not_turn_errors_into_system_errors():
    """A key of the module's namespace that looks like "__builtins__" and
    runs code when compared must not turn the errors the module reports into
    SystemError."""
    result = run_scenario("hostile_namespace_key")
    assert result == {
        "compared": True,
        "outcomes": [
            ["TypeError", [list(INIT_ENTRY)]],
            ["TypeError", [list(SETTER_ENTRIES["g"])]],
            ["TypeError", [list(REDUCE_ENTRY)]],
            ["KeyError", [list(body_entry(0))]],
        ],
    }
