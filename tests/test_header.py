"""The installed color.h: a self-contained C and C++ header whose record layout
matches the Color type the module builds.

Consumers include the header on its own, from C or from C++, with or without
raylib.h around, so every combination has to compile cleanly under strict
warnings.
"""

import subprocess
import sysconfig

import pytest

import vantel.color
from vantel.color.color import Color

# A stand-in for raylib.h with raylib's own include guard and Color layout.
RAYLIB_H = """\
#ifndef RAYLIB_H
#define RAYLIB_H
typedef struct Color {
    unsigned char r;
    unsigned char g;
    unsigned char b;
    unsigned char a;
} Color;
#endif
"""

COMPILERS = {
    "c11": ["gcc", "-x", "c", "-std=c11"],
    "c++17": ["g++", "-x", "c++", "-std=c++17"],
}

# With raylib.h in sight the record's channels must be raylib's own Color, so
# that `&obj->_raw` can be handed to raylib as it is.
SAME_COLOR = "VantelRaylibColor *as_vantel(Color *color) { return color; }\n"

INCLUDES = {
    "header alone": '#include "color.h"\n',
    "raylib.h on the include path": '#include "color.h"\n#include <raylib.h>\n' + SAME_COLOR,
    "raylib.h included first": '#include <Python.h>\n#include <raylib.h>\n#include "color.h"\n'
    + SAME_COLOR,
}

# The record as other compiled modules see it on x86-64: header, method table
# pointer, then the four channel bytes.
LAYOUT_CHECKS = """\
#include "color.h"

_Static_assert(sizeof(VantelColorObject) == BASIC_SIZE, "record size is Color.__basicsize__");
_Static_assert(offsetof(VantelColorObject, method_table) == 16, "method_table follows the header");
_Static_assert(offsetof(VantelColorObject, _raw) == 24, "_raw follows method_table");
_Static_assert(offsetof(VantelColorObject, _raw.r) == 24, "r is the first channel");
_Static_assert(offsetof(VantelColorObject, _raw.a) == 27, "a is the last channel");
_Static_assert(offsetof(VantelColorMethodTable, clamp_byte) == 0, "clamp_byte comes first");
_Static_assert(offsetof(VantelColorMethodTable, new_) == 8, "new comes second");
_Static_assert(sizeof(VantelColorMethodTable) == 16, "the table has two entries");
"""


def compile_source(tmp_path, language, source, *extra):
    source_file = tmp_path / "unit.src"
    source_file.write_text(source)
    command = [
        *COMPILERS[language],
        "-fsyntax-only",
        "-Wall",
        "-Wextra",
        "-Werror",
        "-pedantic",
        "-I" + sysconfig.get_paths()["include"],
        "-I" + vantel.color.get_include(),
        *extra,
        str(source_file),
    ]
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("language", COMPILERS)
@pytest.mark.parametrize("includes", INCLUDES)
def test_header_compiles_cleanly(tmp_path, language, includes):
    extra = []
    if includes != "header alone":
        raylib_dir = tmp_path / "raylib"
        raylib_dir.mkdir()
        (raylib_dir / "raylib.h").write_text(RAYLIB_H)
        extra.append("-I" + str(raylib_dir))
    compile_source(tmp_path, language, INCLUDES[includes], *extra)


def test_record_layout_matches_the_type(tmp_path):
    compile_source(tmp_path, "c11", LAYOUT_CHECKS, f"-DBASIC_SIZE={Color.__basicsize__}")
