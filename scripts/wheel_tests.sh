#!/usr/bin/env bash
# Runs tests against a release wheel as it ships: a fresh virtual
# environment of $PYTHON (or the interpreter scripts/lib.sh finds) gets the
# wheel, never a build of the checkout, and the dependency group
# "wheel-tests" of pyproject.toml (pytest, hypothesis, Sybil) from PyPI;
# the other arguments go to pytest.  Tests that need the suite's own native
# builds, which no release wheel carries, are skipped and say so.
#
#   PYTHON=python3.14 bash scripts/wheel_tests.sh dist/vantel_color-X-cp314-cp314-TAG.whl tests/test_pickling.py
#
# Hypothesis runs with its "ci" profile: no deadline, which a slow machine
# (an emulated one) would otherwise trip over, and a fixed seed.
# WHEEL_TESTS_VENV chooses the environment (default build/wheel-tests/venv-<version>-<machine>).
# WHEEL_TESTS_READY=1 says that it is ready, the wheel and the test tools
# installed in it by the caller (scripts/arm64.sh installs them from outside
# the emulated machine, where pip would run for minutes): it is used as it
# is, once the wheel installed there is found to be WHEEL's version.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if [ $# -eq 0 ]; then
    echo "usage: $0 WHEEL [PYTEST ARGUMENT...]" >&2
    exit 2
fi
wheel=$1
shift
python=$(find_python)
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=$(realpath -m "${WHEEL_TESTS_VENV:-build/wheel-tests/venv-$version-$(uname -m)}")
if [ -n "${WHEEL_TESTS_READY:-}" ]; then
    installed=$("$venv/bin/python" -c 'import importlib.metadata; print(importlib.metadata.version("vantel-color"))')
    if [ "$installed" != "$(basename "$wheel" | cut -d- -f2)" ]; then
        echo "error: $venv holds vantel-color $installed, not $wheel" >&2
        exit 1
    fi
else
    rm -rf "$venv"
    "$python" -m venv "$venv"
    # --group needs pip 25.1, newer than some interpreters' own.
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet --group pyproject.toml:wheel-tests
    "$venv/bin/python" -m pip install --quiet --no-index --no-deps "$wheel"
fi
export VANTEL_COLOR_WHEEL_TEST=1
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider --hypothesis-profile=ci "$@"
