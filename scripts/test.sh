#!/usr/bin/env bash
# Runs every check on this interpreter, as the nox sessions of noxfile.py
# (with nox from scripts/nox.sh): the test suite against the normal build,
# what the package offers to code that builds on it, the release artifacts,
# the suite under AddressSanitizer and UndefinedBehaviorSanitizer, and line
# and branch coverage.  Each phase is announced and closed by a line of its
# own, so that every summary in the output says whose it is.
#
# Arguments go to pytest and run only that part: bash scripts/test.sh -k repr
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if [ $# -gt 0 ]; then
    exec bash scripts/nox.sh -r -s tests -- "$@"
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

phase 1 "test suite, normal build" bash scripts/nox.sh -r -s tests
phase 2 "API for dependent code" bash scripts/nox.sh -r -s api
# The artifacts go to build/, so that a test run never replaces those of a
# release in dist/.  Wheels are made for the interpreters this machine has
# (CI asks for every supported version with RELEASE_PYTHONS).
phase 3 "release artifacts" env DIST=build/release/dist \
    RELEASE_PYTHONS="${RELEASE_PYTHONS:-$(local_python_versions)}" bash scripts/nox.sh -r -s release
phase 4 "test suite under ASan and UBSan" bash scripts/nox.sh -r -s sanitize
phase 5 "line and branch coverage" bash scripts/nox.sh -r -s coverage
echo "== test.sh: all $phases phases passed in $((SECONDS - started)) s"
