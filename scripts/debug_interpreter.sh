#!/usr/bin/env bash
# Runs the test suite once on a debug build of CPython (Py_DEBUG), which
# checks what the module does through the C API as it goes (reference
# counts, objects handed back with an error set, the interpreter's own
# assertions) and counts every reference held, which the leak tests then
# require to settle exactly.  The module and the test suite's native builds
# are compiled for it, as debug builds themselves.
#
# The interpreter is $PYTHON, else this machine's python3.14-dbg, else
# Debian's inside the Debian sid root of scripts/debian_sid.sh (as root).
# Its virtual environment is .nox/dbg/tests (the nox session tests).
#
#   bash scripts/debug_interpreter.sh
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
# A release interpreter would skip the tests of the total reference count
# and still pass: refuse it.
# nox is given its path, which it takes as it stands.
run='PYTHON=$(command -v "$PYTHON")
if ! "$PYTHON" -c "import sys; sys.gettotalrefcount" 2>/dev/null; then
    echo "error: $PYTHON is not a debug build of CPython (no sys.gettotalrefcount)" >&2
    exit 1
fi
bash scripts/nox.sh --envdir .nox/dbg -r -s tests -- -ra'
echo "== debug_interpreter: test suite on a debug interpreter"
if [ -n "${PYTHON:-}" ]; then
    bash -c "$run"
elif command -v python3.14-dbg >/dev/null; then
    PYTHON=python3.14-dbg bash -c "$run"
else
    bash scripts/debian_sid.sh env PYTHON=python3.14-dbg bash -c "$run"
fi
echo "== debug_interpreter: passed in $((SECONDS - started)) s"
