"""Compiles the test-only extension modules and programs with one recipe.

Every native build of the suite (the consumers of color.h, builds of the
module's own sources with test-only definitions, and the programs that link
several translation units) goes through `compile_native`, so that they share
the compiler, the include directories, the warnings and the extra flags of an
instrumented run (VANTEL_TEST_CXXFLAGS, set by the sanitizer script).
"""

import importlib.util
import os
import shlex
import subprocess
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULE_SOURCE_DIR = ROOT / "src" / "native"

# Each language's compiler and standard; C is compiled as C, C++ as C++20.
LANGUAGES = {
    "c": (lambda: os.environ.get("CC", "gcc"), ["-std=c11"]),
    "c++": (lambda: os.environ.get("CXX", "g++"), ["-std=c++20"]),
}


class BuildError(RuntimeError):
    pass


def extension_path(directory, name):
    """Where an extension module called `name` is built in `directory`."""
    return Path(directory) / (name + sysconfig.get_config_var("EXT_SUFFIX"))


def module_sources():
    """The module's own C++ sources, for builds with test-only definitions."""
    return sorted(MODULE_SOURCE_DIR.glob("*.cpp"))


def compile_native(sources, target, *, language="c++", include_dirs=(), flags=(),
                   shared=True, warnings_as_errors=True):
    """Compiles and links `sources` into `target` (a shared object unless
    `shared` is false) and returns `target` as a Path.

    The interpreter's headers are always on the include path; the installed
    color.h is on it unless `include_dirs` names the source tree instead.
    Raises BuildError with the command and the compiler's output on failure.
    """
    compiler, standard = LANGUAGES[language]
    include_dirs = list(include_dirs)
    if not include_dirs:
        import vantel.color

        include_dirs.append(vantel.color.get_include())
    target = Path(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    command = [
        compiler(),
        *standard,
        "-O2",
        "-Wall",
        "-Wextra",
        *(["-Werror"] if warnings_as_errors else []),
        *(["-shared", "-fPIC"] if shared else []),
        "-I" + sysconfig.get_paths()["include"],
        *("-I" + str(directory) for directory in include_dirs),
        *flags,
        *shlex.split(os.environ.get("VANTEL_TEST_CXXFLAGS", "")),
        *(str(source) for source in sources),
        "-o",
        str(target),
    ]
    # A preloaded sanitizer runtime is meant for the interpreter, not the compiler.
    environment = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    result = subprocess.run(command, capture_output=True, text=True, env=environment)
    if result.returncode != 0:
        raise BuildError(f"build failed:\n{shlex.join(command)}\n{result.stdout}{result.stderr}")
    return target


def load_extension(name, path):
    """Imports the extension module `name` from its built file."""
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
