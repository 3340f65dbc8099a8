#!/usr/bin/env bash
# Runs the whole test suite: builds and installs the package into a virtual
# environment with the test dependencies and runs the tests; then checks what
# the package offers to code that builds on it, builds and checks the release
# artifacts, runs the tests again against a build under AddressSanitizer
# and UndefinedBehaviorSanitizer, and once more to measure line and branch
# coverage.  Each phase is announced and closed by a
# line of its own, so that every summary in the output says whose it is.
#
# Arguments go to pytest and run only that part: bash scripts/test.sh -k repr
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

python=$(make_venv "${VENV:-.venv}")
# The module and the test suite's native builds must build without a single
# warning.
install_for_tests "$python" -C cmake.define.VANTEL_COLOR_WERROR=ON
if [ $# -gt 0 ]; then
    exec "$python" -m pytest -q "$@"
fi

phases=5
started=$SECONDS
# phase NUMBER NAME COMMAND...: runs COMMAND between two labelled lines.
phase() {
    local number=$1 name=$2 start=$SECONDS status=0
    shift 2
    echo "== test.sh: phase $number/$phases: $name"
    "$@" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "== test.sh: phase $number/$phases ($name) FAILED (exit $status) after $((SECONDS - start)) s"
        exit "$status"
    fi
    echo "== test.sh: phase $number/$phases ($name) passed in $((SECONDS - start)) s"
}

phase 1 "test suite, normal build" "$python" -m pytest -q
phase 2 "API for dependent code" bash scripts/check_api.sh
# The artifacts go to build/, so that a test run never replaces those of a
# release in dist/.  Wheels are made for the interpreters this machine has
# (CI asks for every supported version with RELEASE_PYTHONS).
phase 3 "release artifacts" env DIST=build/release/dist \
    RELEASE_PYTHONS="${RELEASE_PYTHONS:-$(local_python_versions)}" bash scripts/release.sh
phase 4 "test suite under ASan and UBSan" bash scripts/sanitize.sh
phase 5 "line and branch coverage" bash scripts/coverage.sh
echo "== test.sh: all $phases phases passed in $((SECONDS - started)) s"
