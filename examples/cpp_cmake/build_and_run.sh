#!/usr/bin/env bash
# Builds tint with CMake in a fresh virtual environment and runs use.py.
# PYTHON names the interpreter (default python3).
set -euo pipefail
cd "$(dirname "$0")"

"${PYTHON:-python3}" -m venv --clear venv
venv/bin/pip install vantel-color cmake ninja
venv/bin/cmake -S . -B build -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/venv/bin/python"
venv/bin/cmake --build build
PYTHONPATH=build venv/bin/python use.py
