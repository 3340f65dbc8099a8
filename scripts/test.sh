#!/usr/bin/env bash
# Runs the whole test suite: builds and installs the package into a virtual
# environment with the test dependencies and runs the tests; then checks what
# the package offers to code that builds on it, and runs the tests again
# against a build under AddressSanitizer and UndefinedBehaviorSanitizer.
#
# Arguments go to pytest and run only that part: bash scripts/test.sh -k repr
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

python=$(make_venv "${VENV:-.venv}")
"$python" -m pip install --quiet ".[test]"
if [ $# -gt 0 ]; then
    exec "$python" -m pytest -q "$@"
fi
"$python" -m pytest -q
bash scripts/check_api.sh
bash scripts/sanitize.sh
