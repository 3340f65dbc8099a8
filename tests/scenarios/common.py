"""Helpers of the scenarios: scripts that each run in a fresh interpreter,
started by support.run_scenario, and print one JSON document last."""

import ctypes
import importlib.machinery
import json
import os
import pickle
import sys
import types
import warnings


def report(result):
    """Prints the scenario's result for the test that started it."""
    print(json.dumps(result))


class ModuleDefinition:
    """The module definition straight from the init function of the shared
    object at `path`, and the platform calls that create a module from it on
    a spec of the caller's choosing and execute a module with it."""

    def __init__(self, path):
        init = ctypes.PyDLL(path).PyInit_color
        init.restype = ctypes.py_object
        self.definition = init()
        self._create = ctypes.pythonapi.PyModule_FromDefAndSpec2
        self._create.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
        self._create.restype = ctypes.py_object
        self._exec = ctypes.pythonapi.PyModule_ExecDef
        self._exec.argtypes = [ctypes.py_object, ctypes.py_object]
        self._exec.restype = ctypes.c_int

    def create(self, spec):
        return self._create(self.definition, spec, 1013)

    def exec(self, module):
        return self._exec(module, self.definition)


def outcome_of_import():
    """Imports the module: "imported", or the exception's type, message and
    the module's traceback entries."""
    from support import module_entries

    try:
        import vantel.color.color  # noqa: F401
    except BaseException as exc:
        return [type(exc).__name__, str(exc), [list(entry) for entry in module_entries(exc)]]
    return "imported"


def import_recording_warnings(places=False):
    """Imports the module with every warning recorded; returns the module and
    the warnings as [category, message], followed (`places`) by the file
    and line the warning is attributed to."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import vantel.color.color as module
    return module, [
        [w.category.__name__, str(w.message), *([w.filename, w.lineno] if places else [])]
        for w in caught
    ]


def bare_packages(path):
    """Puts the module's packages in sys.modules without running their
    __init__, which imports the module and needs it whole, so that an import
    of vantel.color.color, the extension module at `path`, loads only it."""
    directory = os.path.dirname(path)
    for name in ("vantel.color", "vantel"):
        sys.modules[name] = types.ModuleType(name)
        sys.modules[name].__path__ = [directory]
        directory = os.path.dirname(directory)


def leftovers(path):
    """The keys of sys.modules that hold a module object made from `path`."""
    return sorted(
        key for key, module in sys.modules.items() if getattr(module, "__file__", None) == path
    )


def colours_of_the_module():
    """Every Color type of the module that the process can still reach,
    whether or not a module object holds it."""
    return [
        cls
        for cls in object.__subclasses__()
        if cls.__module__ == "vantel.color.color" and cls.__name__ == "Color"
    ]


def works(module):
    """What a module made after a failed import gives; support.WORKING is
    what it must give."""
    Color = module.Color
    colour = Color(300, -4, 10)
    made = [repr(colour), list(colour)]
    colour.g = 77
    refusal: object = "no error"
    try:
        pickle.dumps(colour)
    except TypeError as error:
        refusal = list(error.args)
    return {
        "made": made,
        "stored": [repr(colour), list(colour)],
        "refusal": refusal,
        "reduce_name": Color.__dict__["__reduce__"].__name__,
        "setstate_name": Color.__dict__["__setstate__"].__name__,
        "leftover_keys": sorted({"__reduce_cython__", "__setstate_cython__"} & set(Color.__dict__)),
        "vtable": type(Color.__dict__["__pyx_vtable__"]).__name__,
        "test": module.__test__,
    }


def record_created_modules(site):
    """Makes the extension loader record every module object it creates from
    a file under `site`, so that the half-made module of a failed exec can be
    compared with the next one; returns the list it fills."""
    created = []
    create = importlib.machinery.ExtensionFileLoader.create_module

    def recording_create(self, spec):
        module = create(self, spec)
        if spec.origin is not None and spec.origin.startswith(site + os.sep):
            created.append(module)
        return module

    importlib.machinery.ExtensionFileLoader.create_module = recording_create  # type: ignore[method-assign]
    return created


def imported_after(first, site):
    """The module held after an import that followed the failed one that
    made `first`: whether it is a new object from `site` with the same Color,
    and what it gives (see works)."""
    held = sys.modules["vantel.color.color"]
    return {
        "file_in_site": (held.__file__ or "").startswith(site + os.sep),
        "new_object": held is not first,
        "same_type": getattr(first, "Color", held.Color) is held.Color,
        "works": works(held),
    }
