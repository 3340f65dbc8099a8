#!/usr/bin/env bash
# Runs the test suite against the normal build, and the checks of what the
# package offers to dependent code (which build and run the example native
# consumer), on the interpreters newer than the one of the full test
# command (3.14 and 3.15), or the versions in $OTHER_PYTHONS.  Each runs with
# this machine's interpreter of that version where it has one, else with
# Debian's inside a Debian sid root (scripts/debian_sid.sh, as root): the
# nox sessions tests and api, with virtual environments of their own for
# each version (.nox/3.14/tests and so on).
#
#   bash scripts/other_interpreters.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

started=$SECONDS
for version in ${OTHER_PYTHONS:-${SUPPORTED_PYTHONS#"$MINIMUM_PYTHON "}}; do
    start=$SECONDS
    echo "== other_interpreters: Python $version: test suite, normal build; API for dependent code"
    # -ra keeps pytest's summary of passes and skips.
    with_python "$version" bash scripts/nox.sh --envdir ".nox/$version" -r -s tests api -- -ra
    echo "== other_interpreters: Python $version passed in $((SECONDS - start)) s"
done
echo "== other_interpreters: all passed in $((SECONDS - started)) s"
