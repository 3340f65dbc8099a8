#!/usr/bin/env bash
# Checks what the package offers to code that builds on it: the wheel holds the
# module, its headers, its Cython declarations and its type stubs and nothing
# internal; the stubs match the running module; a typed usage sample passes
# `mypy --strict` and runs; the manual in docs/ builds without a warning; and
# every example project builds against the installed package and runs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

repo=$PWD
python=$(make_venv "${VENV:-.venv}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== wheel contents"
"$python" -m pip wheel --quiet --no-deps -w "$work/wheel" .
wheels=("$work"/wheel/vantel_color-*.whl)
wheel=${wheels[0]}
"$python" - "$wheel" <<'EOF'
import sys
import sysconfig
import zipfile

# Exactly these files of the package, so that neither a missing stub nor a
# leaked .cpp or internal header goes unnoticed.
expected = {
    "vantel/__init__.py",
    "vantel/py.typed",
    "vantel/color/__init__.py",
    "vantel/color/color" + sysconfig.get_config_var("EXT_SUFFIX"),
    "vantel/color/color.h",
    "vantel/color/color_raylib.h",
    "vantel/color/color.pxd",
    "vantel/color/color.pyi",
    "vantel/color/py.typed",
}
with zipfile.ZipFile(sys.argv[1]) as archive:
    found = {name for name in archive.namelist() if name.startswith("vantel/")}
if found != expected:
    sys.exit(
        f"{sys.argv[1]}:\n  missing: {sorted(expected - found)}\n  unexpected: {sorted(found - expected)}"
    )
print("ok:", *sorted(found))
EOF

echo "== installing the wheel and the checkers"
"$python" -m pip install --quiet --no-deps --force-reinstall "$wheel"
"$python" -m pip install --quiet "$wheel[test,docs]"

# From here on, away from the source tree: only the installed package counts.
cd "$work"

echo "== stubs against the module"
"$python" -m mypy.stubtest vantel.color.color

echo "== typed usage sample"
"$python" -m mypy --strict --warn-unreachable --cache-dir "$work/mypy-cache" \
    "$repo/tests/typing/usage.py"
"$python" "$repo/tests/typing/usage.py"

echo "== documentation"
"$python" -m sphinx -W --keep-going --nitpicky --quiet -b html "$repo/docs" "$work/html"

# Each example is built as its build_and_run.sh says, in a copy of its own
# directory, into a fresh virtual environment that installs vantel-color from
# the wheel built above (vantel-color is not on the package index).
example_python=$(find_python)
for example in c_setuptools c_subtype cpp_cmake cython_setuptools; do
    echo "== example $example"
    cp -r "$repo/examples/$example" "$work/$example"
    PYTHON=$example_python PIP_QUIET=1 PIP_FIND_LINKS="$work/wheel${PIP_FIND_LINKS:+ $PIP_FIND_LINKS}" \
        CFLAGS="-Werror" CXXFLAGS="-Werror" bash "$work/$example/build_and_run.sh"
done

echo "check_api: all checks passed"
