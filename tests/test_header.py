"""The installed color.h: a self-contained C and C++ header whose record layout
matches the Color type the module builds; color_raylib.h, its companion for
code that works with raylib's own Color; and color.pxd, the same record and
method table declared for Cython.

Consumers include the headers from C or from C++, built by gcc or clang to
any standard from C11 and C++17 on, with or without raylib.h around, so every
combination has to compile cleanly under strict warnings; color.h itself
never includes raylib.h, the companion includes Python.h before raylib.h, and
it refuses a raylib.h whose Color is not laid out as the record's colour.
The raylib.h is a stand-in, and also the real one where raylib is installed
(VANTEL_COLOR_REQUIRE_RAYLIB=1 makes its absence a failure, not a skip).
"""

import functools
import os
import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import vantel.color
from vantel.color.color import Color

pytestmark = pytest.mark.packaging

# A stand-in for raylib.h with raylib's own include guard and Color layout.
STAND_IN = Path(__file__).parent / "consumer" / "raylib_stand_in"
RAYLIB_H = (STAND_IN / "raylib.h").read_text()

# Each standard a consumer may build with.  clang 14 (Debian 12) knows
# C++23 only by its draft name, which g++ takes as well.
STANDARDS = {
    "c11": ("c", "-std=c11"),
    "c17": ("c", "-std=c17"),
    "c++17": ("c++", "-std=c++17"),
    "c++20": ("c++", "-std=c++20"),
    "c++23": ("c++", "-std=c++2b"),
}
DRIVERS = {"gcc": {"c": "gcc", "c++": "g++"}, "clang": {"c": "clang", "c++": "clang++"}}
# Warnings that strict C++ projects add: code that keeps to C++ casts and
# nullptr must not meet either in a header it includes.
CXX_WARNINGS = ["-Wold-style-cast", "-Wzero-as-null-pointer-constant"]
COMPILERS = {
    f"{driver} {standard}": (
        DRIVERS[driver][language],
        language,
        [flag, *(CXX_WARNINGS if language == "c++" else [])],
    )
    for driver in DRIVERS
    for standard, (language, flag) in STANDARDS.items()
}

# Code that meets raylib.h converts between raylib's Color and the record's
# colour through the companion header.
CONVERSIONS = """\
Color to_raylib(const VantelColorObject *color) { return VantelColor_ToRaylib(color->_raw); }
void from_raylib(VantelColorObject *color, Color raw) { color->_raw = VantelColor_FromRaylib(raw); }
"""

# color.h is one header in every translation unit: raylib.h on the include
# path changes nothing, and nothing of raylib leaks into its includer.
WITHOUT_RAYLIB = '#ifdef RAYLIB_H\n#error "color.h included raylib.h"\n#endif\n'

# The stand-in as the clean compiles see it: Python.h must come first.
AFTER_PYTHON_H = '#ifndef Py_PYTHON_H\n#error "raylib.h came before Python.h"\n#endif\n' + RAYLIB_H

INCLUDES = {
    "header alone": '#include "color.h"\n',
    "raylib.h on the include path": '#include "color.h"\n' + WITHOUT_RAYLIB,
    "raylib.h included first": '#include <Python.h>\n#include <raylib.h>\n#include "color_raylib.h"\n'
    + CONVERSIONS,
    "companion alone": '#include "color_raylib.h"\n#include "color.h"\n' + CONVERSIONS,
}

# raylib.h stand-ins whose Color the record's colour cannot be converted from
# byte for byte.
MISMATCHED_RAYLIB_COLORS = {
    "channels reordered": RAYLIB_H.replace("char r;", "char x;")
    .replace("char a;", "char r;")
    .replace("char x;", "char a;"),
    "wider channels": RAYLIB_H.replace("unsigned char", "unsigned short"),
}

# The record as other compiled modules see it on a 64-bit (LP64) machine,
# x86-64 and aarch64 alike: the object header (HEADER_SIZE, the running
# interpreter's: 16 bytes, or 32 in a free-threaded build), the method table
# pointer, then the four channel bytes.
LAYOUT_CHECKS = """\
#include "color.h"

_Static_assert(sizeof(VantelColorObject) == BASIC_SIZE, "record size is Color.__basicsize__");
_Static_assert(sizeof(PyObject) == HEADER_SIZE, "the header is the interpreter's");
_Static_assert(offsetof(VantelColorObject, method_table) == HEADER_SIZE, "method_table follows the header");
_Static_assert(offsetof(VantelColorObject, _raw) == HEADER_SIZE + 8, "_raw follows method_table");
_Static_assert(offsetof(VantelColorObject, _raw.r) == HEADER_SIZE + 8, "r is the first channel");
_Static_assert(offsetof(VantelColorObject, _raw.a) == HEADER_SIZE + 11, "a is the last channel");
_Static_assert(offsetof(VantelColorMethodTable, clamp_byte) == 0, "clamp_byte comes first");
_Static_assert(offsetof(VantelColorMethodTable, new_) == 8, "new comes second");
_Static_assert(sizeof(VantelColorMethodTable) == 16, "the table has two entries");
"""


def find_compiler(name):
    """The compiler `name` on PATH, or else its newest versioned name
    (clang-14, as Debian installs it without the clang package)."""
    if found := shutil.which(name):
        return found
    versioned = sorted(
        (int(match[1]), str(path))
        for directory in os.environ.get("PATH", "").split(os.pathsep)
        if directory and Path(directory).is_dir()
        for path in Path(directory).glob(name + "-*")
        if (match := re.fullmatch(re.escape(name) + r"-(\d+)", path.name))
    )
    return versioned[-1][1] if versioned else None


def run_compiler(tmp_path, compiler, source, *extra):
    name, language, flags = COMPILERS[compiler]
    executable = find_compiler(name)
    if executable is None:
        pytest.skip(f"{name} is not installed")
    source_file = tmp_path / "unit.src"
    source_file.write_text(source)
    command = [
        executable,
        "-x",
        language,
        *flags,
        "-fsyntax-only",
        "-Wall",
        "-Wextra",
        "-Werror",
        "-Wpedantic",
        # The interpreter's headers are not ours to judge.  gcc would resolve
        # the links of a system directory, and Debian's debug include
        # directory links into the release one: its pyconfig.h, without
        # Py_DEBUG, would be read.
        "-isystem",
        sysconfig.get_paths()["include"],
        *(["-fno-canonical-system-headers"] if name in ("gcc", "g++") else []),
        "-I" + vantel.color.get_include(),
        *extra,
        str(source_file),
    ]
    return subprocess.run(command, capture_output=True, text=True)


def compile_source(tmp_path, compiler, source, *extra):
    result = run_compiler(tmp_path, compiler, source, *extra)
    assert result.returncode == 0, result.stderr


def raylib_include(tmp_path, text=RAYLIB_H):
    """Writes `text` as raylib.h into a directory of its own; returns its -I flag."""
    raylib_dir = tmp_path / "raylib"
    raylib_dir.mkdir()
    (raylib_dir / "raylib.h").write_text(text)
    return "-I" + str(raylib_dir)


@functools.cache
def raylib_installed():
    """Whether the compilers find a raylib.h of their own; fails, rather than
    skips, where VANTEL_COLOR_REQUIRE_RAYLIB=1."""
    gcc = find_compiler("gcc")
    found = (
        gcc is not None
        and subprocess.run(
            [gcc, "-E", "-x", "c", "-"],
            input="#include <raylib.h>\n",
            capture_output=True,
            text=True,
        ).returncode
        == 0
    )
    if not found and os.environ.get("VANTEL_COLOR_REQUIRE_RAYLIB") == "1":
        pytest.fail("raylib.h is not installed, and VANTEL_COLOR_REQUIRE_RAYLIB=1")
    return found


def raylib_h_flags(tmp_path, raylib_h):
    """The flags that put the stand-in, or the installed raylib.h, in reach."""
    if raylib_h == "stand-in":
        return [raylib_include(tmp_path, AFTER_PYTHON_H)]
    if not raylib_installed():
        pytest.skip("raylib.h is not installed (Debian: libraylib-dev)")
    return []


@pytest.mark.parametrize("compiler", COMPILERS)
@pytest.mark.parametrize(
    ("includes", "raylib_h"),
    [("header alone", None)]
    + [
        (includes, raylib_h)
        for includes in list(INCLUDES)[1:]
        for raylib_h in ("stand-in", "installed")
    ],
)
def test_header_compiles_cleanly(tmp_path, compiler, includes, raylib_h):
    extra = raylib_h_flags(tmp_path, raylib_h) if raylib_h else []
    compile_source(tmp_path, compiler, INCLUDES[includes], *extra)


def test_stand_in_color_is_raylibs(tmp_path):
    raylib_h_flags(tmp_path, "installed")
    compile_source(
        tmp_path,
        "gcc c++20",
        (STAND_IN / "same_as_raylib.cpp").read_text(),
        "-iquote",
        str(STAND_IN),
    )


# The check is the same in every standard of a language: each compiler
# once in C and once in C++.
ONE_STANDARD_EACH = [name for name in COMPILERS if name.endswith((" c11", " c++17"))]


@pytest.mark.parametrize("compiler", ONE_STANDARD_EACH)
@pytest.mark.parametrize("raylib_h", MISMATCHED_RAYLIB_COLORS)
def test_companion_refuses_a_different_raylib_color(tmp_path, compiler, raylib_h):
    include = raylib_include(tmp_path, MISMATCHED_RAYLIB_COLORS[raylib_h])
    result = run_compiler(tmp_path, compiler, '#include "color_raylib.h"\n', include)
    assert result.returncode != 0
    # gcc: static assertion failed: "..."; clang: static_assert failed ... "..."
    message = re.search(r"static.assert(ion)? failed.*Color of raylib\.h", result.stderr)
    assert message, result.stderr


def test_record_layout_matches_the_type(tmp_path):
    compile_source(
        tmp_path,
        "gcc c11",
        LAYOUT_CHECKS,
        f"-DBASIC_SIZE={Color.__basicsize__}",
        f"-DHEADER_SIZE={object.__basicsize__}",
    )


def header_declarations(text):
    """The colour's fields, the record's fields after the object header and the
    table pointer, and the table's entries (name, result, parameters) of color.h,
    spelled as color.pxd spells them."""

    def body(name):
        return re.search(r"typedef struct %s \{(.*?)\} %s;" % (name, name), text, re.S).group(1)

    def fields(name):
        return re.findall(r"^\s*(?:const )?([\w ]+?[\s*]+)(\w+);", body(name), re.M)

    entries = re.findall(
        r"^\s*([\w *]+?)\s*\(\*(\w+)\)\(([^)]*)\);", body("VantelColorMethodTable"), re.M
    )
    return (
        [(kind.strip(), name) for kind, name in fields("VantelRaylibColor")],
        [(kind.strip(), name) for kind, name in fields("VantelColorObject")[2:]],
        [
            (
                name.rstrip("_"),  # `new_`: `new` is reserved in C++
                {"PyObject *": "Color"}.get(result, result),
                [
                    {"VantelColorObject *self": "self"}.get(p.strip(), p.strip())
                    for p in params.split(",")
                ],
            )
            for result, name, params in entries
        ],
    )


def declaration_file_declarations(text):
    """The same three lists, read from color.pxd."""
    colour = re.search(r"ctypedef struct VantelRaylibColor:\n((?: +[^\n]+\n)+)", text).group(1)
    record = text[text.index("cdef class Color:") :]
    methods = re.findall(r"^\s+cdef (\w+) (\w+)\(([^)]*)\)", record, re.M)
    return (
        [tuple(line.strip().rsplit(" ", 1)) for line in colour.splitlines() if line.strip()],
        [tuple(pair) for pair in re.findall(r"^\s+cdef (\w+) (\w+)$", record, re.M)],
        [
            (name, result, [p.strip() for p in params.split(",")])
            for result, name, params in methods
        ],
    )


def test_cython_declaration_matches_the_header():
    include = Path(vantel.color.get_include())
    header = header_declarations((include / "color.h").read_text())
    declared = declaration_file_declarations((include / "color.pxd").read_text())
    assert header[2][0][0] == "clamp_byte"  # the parse found the table
    assert declared == header
