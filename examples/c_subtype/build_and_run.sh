#!/usr/bin/env bash
# Builds and installs layers in a fresh virtual environment against the
# vantel-color wheel in the directory WHEELS, then runs use.py:
#
#     PYTHON=python3.13 bash examples/c_subtype/build_and_run.sh WHEELS
#
# PYTHON names a Python 3.13 or later (default python3).  vantel-color is not
# on the package index yet, and whoever registers the name there would run
# code in every build that looks it up: it comes from WHEELS alone
# (--no-index), and the build runs in this environment (--no-build-isolation)
# instead of one where pip would fetch it.  The other build requirement comes
# from the index by name.
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: build_and_run.sh WHEELS (the directory of the vantel-color wheel)" >&2
    exit 2
fi
wheels=$(realpath "$1")
cd "$(dirname "$0")"

"${PYTHON:-python3}" -m venv --clear venv
venv/bin/pip install "setuptools>=74"
venv/bin/pip install --no-index --find-links "$wheels" vantel-color
venv/bin/pip install --no-index --no-build-isolation .
venv/bin/python use.py
