#!/usr/bin/env bash
# Measures the line and branch coverage of the module's C++ sources over the
# whole test suite and prints the figures, with what stays uncovered.
#
#   bash scripts/coverage.sh [pytest arguments]
#
# The module is built with gcov instrumentation (--coverage, -O0) into a
# virtual environment of its own (COVERAGE_VENV, default
# build/coverage/venv); the test-only builds of the module's sources go
# through tests/native_build.py, which adds VANTEL_TEST_CXXFLAGS, so they are
# counted too.  Every process of the run (pytest, the fresh interpreters and
# forked children the tests start) adds its counts when it exits.  gcovr,
# from PyPI, merges the counts of every build of each source file.
#
# With COVERAGE_MARKDOWN=docs/figures/coverage.md it also writes the figures
# as the manual's table, with the date, the machine and the versions.
#
# Exits non-zero only if the tests fail: the figures are for reading; the
# manual's Reliability page says what is left uncovered and why.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

venv=${COVERAGE_VENV:-build/coverage/venv}
python=$(make_venv "$venv")
"$python" -m pip install --quiet "gcovr>=8"

coverage_flags="--coverage -O0 -g"
echo "coverage: building the module with $coverage_flags" >&2
build_dir=build/coverage/module
install_instrumented "$python" "$coverage_flags" coverage/module

# Counts of an earlier run would add to this one's.
find build/coverage -name '*.gcda' -delete
tmp_dir=$(realpath -m build/coverage/tmp)
rm -rf "$tmp_dir"
mkdir -p "$tmp_dir"

status=0
VANTEL_TEST_CXXFLAGS="$coverage_flags" "$python" -m pytest -q -p no:cacheprovider \
    --basetemp="$tmp_dir" "$@" || status=$?

echo "== coverage of src/native (the installed build and the test-only builds)"
# The lines a file leaves unrun are listed after its figures; the manual's
# Reliability page says why each stays so.  Branches of code the compiler
# adds for exceptions and for what it proves unreachable are not counted;
# functions of which the test-only builds make their own copy are counted
# once per copy.
"$python" -m gcovr --root . --filter 'src/native/' \
    --exclude-unreachable-branches --exclude-throw-branches \
    --merge-mode-functions=separate \
    --txt-metric line --txt - --print-summary \
    --json-summary build/coverage/summary.json \
    "$build_dir" "$tmp_dir"
if [ -n "${COVERAGE_MARKDOWN:-}" ]; then
    "$python" scripts/figures.py coverage build/coverage/summary.json "$COVERAGE_MARKDOWN" \
        "$(g++ -dumpfullversion -dumpversion | sed 's/^/g++ /')" \
        "$("$python" -m gcovr --version | head -n 1)"
    echo "coverage: figures written to $COVERAGE_MARKDOWN" >&2
fi
if [ "$status" -ne 0 ]; then
    echo "coverage: the test suite failed (exit $status)" >&2
fi
exit "$status"
