#!/usr/bin/env bash
# Builds paint with CMake against raylib and the vantel-color wheel in the
# directory WHEELS, in a fresh virtual environment, then runs use.py:
#
#     PYTHON=python3.14 bash examples/raylib_cmake/build_and_run.sh WHEELS
#
# PYTHON names a Python 3.13 or later (default python3); raylib 6.0 must be
# installed where CMake finds it.  vantel-color is not on the package index
# yet, and whoever registers the name there would run code in every build
# that looks it up: it comes from WHEELS alone (--no-index).  CMake, Ninja
# and pypng (which reads the picture back) come from the index by name.
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: build_and_run.sh WHEELS (the directory of the vantel-color wheel)" >&2
    exit 2
fi
wheels=$(realpath "$1")
cd "$(dirname "$0")"

"${PYTHON:-python3}" -m venv --clear venv
venv/bin/pip install cmake ninja pypng
venv/bin/pip install --no-index --find-links "$wheels" vantel-color
# Configured afresh: FindPython keeps in the cache what it found for the
# interpreter of an earlier run, which PYTHON may have changed since.
venv/bin/cmake --fresh -S . -B build -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/venv/bin/python"
venv/bin/cmake --build build
PYTHONPATH=build venv/bin/python use.py
