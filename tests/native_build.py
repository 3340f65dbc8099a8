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
import shutil
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


# The package's installed files, beside which a test build of the module is put.
PACKAGE_SOURCE_DIR = ROOT / "src" / "vantel"
PACKAGE_FILES = ("__init__.py", "color/__init__.py", "color/color.h")

# The module's own compile and link options (those of CMakeLists.txt), so
# that a test build differs from the real one only in its definitions.
MODULE_FLAGS = (
    "-fno-exceptions",
    "-fno-rtti",
    "-fno-strict-aliasing",
    "-fvisibility=hidden",
    "-fvisibility-inlines-hidden",
    # Type objects are written with designated initialisers, which g++ would
    # flag for every slot left to its default.
    "-Wno-missing-field-initializers",
)


def build_module_package(directory, definitions):
    """Compiles the module's own sources with the preprocessor `definitions`
    (a mapping of name to value, None for a bare definition) into a package
    tree under `directory`, beside copies of the package's Python files and
    color.h, so that `import vantel.color.color` finds it once `directory`
    is on sys.path.  Returns the built file's path."""
    package = Path(directory) / "vantel"
    for name in PACKAGE_FILES:
        (package / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(PACKAGE_SOURCE_DIR / name, package / name)
    return compile_native(
        module_sources(),
        extension_path(package / "color", "color"),
        include_dirs=[MODULE_SOURCE_DIR, PACKAGE_SOURCE_DIR / "color"],
        flags=[
            *MODULE_FLAGS,
            *(f"-D{name}" if value is None else f"-D{name}={value}"
              for name, value in definitions.items()),
            "-Wl,--version-script=" + str(MODULE_SOURCE_DIR / "exports.map"),
        ],
    )
