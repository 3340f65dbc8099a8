#!/usr/bin/env bash
# Runs the test suite on the free-threaded CPython 3.14 (python3.14t, which
# scripts/free_threaded_python.sh builds once and caches): first without the
# GIL (PYTHON_GIL=0), then with the GIL forced on (PYTHON_GIL=1), in a
# virtual environment of its own (.venv-3.14t, or $FREE_THREADED_VENV).  The
# package is built and installed once, by the first run.  Arguments go to
# both pytest runs.
#
#   bash scripts/free_threaded.sh
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
python=$(bash scripts/free_threaded_python.sh)
export PYTHON=$python VENV=${FREE_THREADED_VENV:-.venv-3.14t}
echo "== free_threaded: $("$python" -VV)"

start=$SECONDS
echo "== free_threaded: test suite without the GIL (PYTHON_GIL=0)"
# -ra keeps pytest's summary of passes and skips.
PYTHON_GIL=0 bash scripts/test.sh -ra "$@"
echo "== free_threaded: without the GIL passed in $((SECONDS - start)) s"

start=$SECONDS
echo "== free_threaded: test suite with the GIL (PYTHON_GIL=1)"
PYTHON_GIL=1 "$(realpath -m "$VENV")/bin/python" -m pytest -q -ra "$@"
echo "== free_threaded: with the GIL passed in $((SECONDS - start)) s"
echo "== free_threaded: all passed in $((SECONDS - started)) s"
