#!/usr/bin/env bash
# Runs the whole test suite: builds and installs the package into a virtual
# environment with the test dependencies, then runs the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

python=$(make_venv "${VENV:-.venv}")
"$python" -m pip install --quiet ".[test]"
"$python" -m pytest -q "$@"
