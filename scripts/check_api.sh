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
"$python" -m pip install --quiet --group "$repo/pyproject.toml:test" \
    --group "$repo/pyproject.toml:docs"

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
# Every public name of the package and of its headers has an entry in the
# API reference; the changelog's newest entry is this version.
"$python" "$repo/tests/check_api_reference.py" "$work/html/objects.inv"

# Each example is built and run as its page in the manual says, against the
# wheel built above, in a copy of its own directory.  Three things are added,
# all stated on those pages: -Werror, so that a recipe that compiles with a
# warning fails; a quiet pip; and an extra package index that offers a
# vantel-color of a higher version that fails when imported.  pip prefers
# the highest version across every index it may consult, so a build that
# ever lets an index compete with the local wheel installs that one and fails.
make_decoy_index "$python" "$work/bogus-index"
example_python=$(find_python)
for example in c_setuptools c_subtype cpp_cmake cython_setuptools; do
    echo "== example $example"
    cp -r "$repo/examples/$example" "$work/$example"
    PYTHON=$example_python CFLAGS=-Werror CXXFLAGS=-Werror PIP_QUIET=1 \
        PIP_EXTRA_INDEX_URL="file://$work/bogus-index${PIP_EXTRA_INDEX_URL:+ $PIP_EXTRA_INDEX_URL}" \
        bash "$work/$example/build_and_run.sh" "$work/wheel"
done

echo "check_api: all checks passed"
