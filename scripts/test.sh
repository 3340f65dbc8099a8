#!/usr/bin/env bash
# Runs every check on this interpreter, as the nox sessions of noxfile.py
# (with nox from scripts/nox.sh), one after the other, stopping at the
# first that fails: the test suite against the normal build, what the
# package offers to code that builds on it, the release artifacts, the suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, and line and branch
# coverage.  nox names each session as it starts and ends, and sums them up.
#
# Arguments go to pytest and run only that part: bash scripts/test.sh -k repr
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if [ $# -gt 0 ]; then
    exec bash scripts/nox.sh -r -s tests -- "$@"
fi
# The artifacts go to build/, so that a test run never replaces those of a
# release in dist/.  Wheels are made for the interpreters this machine has
# (CI asks for every supported version with RELEASE_PYTHONS).
export DIST=build/release/dist
export RELEASE_PYTHONS=${RELEASE_PYTHONS:-$(local_python_versions)}
exec bash scripts/nox.sh -r --stop-on-first-error -s tests api release sanitize coverage
