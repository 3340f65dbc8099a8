#!/usr/bin/env bash
# Builds the wheel of the checkout into WORK/wheel with BUILD_PYTHON (one
# that has pip: a virtual environment's), then builds and runs every example
# project against it, as its page in the manual says, with the interpreter
# that scripts/lib.sh finds.  The api session of noxfile.py runs it, then
# checks the stubs and the manual against that wheel.
#
#   bash scripts/check_api.sh WORK BUILD_PYTHON
#
# Three things are added to each recipe, all stated on those pages: -Werror,
# so that a recipe that compiles with a warning fails; a quiet pip; and an
# extra package index that offers a vantel-color of a higher version whose
# build fails.  pip prefers the highest version across every index
# it may consult, so a build that ever lets an index compete with the local
# wheel installs that one and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if [ $# -ne 2 ]; then
    echo "usage: $0 WORK BUILD_PYTHON" >&2
    exit 2
fi
repo=$PWD
work=$(realpath -m "$1")
mkdir -p "$work"
python=$2
example_python=$(find_python)

# The recipe pages say what runs: the example that each page's last command
# builds and runs, but for raylib's, which scripts/raylib.sh runs where
# raylib is.  grep fails the script if the pages name no other.
examples=$(sed -n 's|^PYTHON=[^ ]* bash examples/\([a-z_]*\)/build_and_run\.sh wheels$|\1|p' \
    docs/recipes/*.md | grep -vx raylib_cmake)

echo "== the wheel"
"$python" -m pip wheel --quiet --no-deps -w "$work/wheel" .
make_decoy_index "$work/bogus-index"
for example in $examples; do
    echo "== example $example"
    rm -rf "${work:?}/$example"
    cp -r "$repo/examples/$example" "$work/$example"
    PYTHON=$example_python CFLAGS=-Werror CXXFLAGS=-Werror PIP_QUIET=1 \
        PIP_EXTRA_INDEX_URL="file://$work/bogus-index${PIP_EXTRA_INDEX_URL:+ $PIP_EXTRA_INDEX_URL}" \
        bash "$work/$example/build_and_run.sh" "$work/wheel"
done
