"""Builds the test-only consumers of the native interface, each the way a
compiled module of the package uses it:

- `_color_consumer`, a C++ module that uses color.h;
- `_color_consumer_c`, a C11 module that uses color.h and subclasses Color;
- `_color_consumer_cython`, a Cython module that cimports Color from the
  installed color.pxd (found on sys.path) and subclasses it;
- `painting`, a C++ program of two translation units, one of which sees
  raylib.h, linked with link-time optimisation and its one-definition check.
"""

import shutil
from pathlib import Path

from native_build import BuildError, compile_native, extension_path, load_extension

__all__ = [
    "BuildError",
    "build_c_consumer",
    "build_consumer",
    "build_cython_consumer",
    "build_two_unit_program",
    "load_consumer",
]

HERE = Path(__file__).parent
SOURCE = HERE / "color_consumer.cpp"


def include_dir():
    """The installed package's directory, which holds color.h."""
    import vantel.color

    return vantel.color.get_include()


def build_consumer(directory):
    """Compiles the C++ consumer into `directory` and returns the built file's path."""
    return compile_native([SOURCE], extension_path(directory, "_color_consumer"))


def build_c_consumer(directory):
    """Compiles the C consumer into `directory` and returns the built file's path."""
    return compile_native(
        [HERE / "color_consumer_c.c"], extension_path(directory, "_color_consumer_c"), language="c"
    )


def build_cython_consumer(directory):
    """Translates the Cython consumer to C and compiles it into `directory`;
    returns the built file's path.  The translation calls Cython's compiler
    directly: cythonize() would need setuptools, which nothing else here does."""
    from Cython.Compiler.Errors import CompileError
    from Cython.Compiler.Main import compile as cython_compile

    name = "_color_consumer_cython"
    source = Path(directory) / (name + ".pyx")
    shutil.copyfile(HERE / "color_consumer_cython.pyx", source)
    try:
        result = cython_compile(str(source), language_level=3)
    except CompileError as error:
        raise BuildError(f"cython failed: {error}") from error
    if result.num_errors:
        raise BuildError(f"cython reported {result.num_errors} errors for {source}")
    # The generated code's own warnings are not this project's to fix.
    return compile_native(
        [result.c_file],
        extension_path(directory, name),
        language="c",
        include_dirs=[include_dir()],
        warnings_as_errors=False,
    )


def build_two_unit_program(directory):
    """Compiles the two-unit program into `directory`, only main.cpp with
    raylib.h on its include path, and links it; returns the program's path."""
    units = HERE / "two_units"
    include_dirs = [include_dir(), units]
    flags = ["-flto", "-Wodr"]
    painting = compile_native(
        [units / "painting.cpp"], Path(directory) / "painting.o",
        include_dirs=include_dirs, flags=[*flags, "-c"], shared=False,
    )
    return compile_native(
        [painting, units / "main.cpp"], Path(directory) / "painting",
        include_dirs=[*include_dirs, HERE / "raylib_stand_in"], flags=flags, shared=False,
    )


def load_consumer(path):
    """Imports a built consumer from its file, under the name it was built with."""
    return load_extension(Path(path).name.split(".")[0], path)
