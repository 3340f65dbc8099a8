#!/usr/bin/env bash
# The checks that need raylib itself (the C library, 6.0): color.h and
# color_raylib.h compiled beside the installed raylib.h, whose Color the
# tests' stand-in must match (tests/test_header.py, with the installed header
# required); and the recipe examples/raylib_cmake built and run as its page
# in the manual shows, its window drawn on a virtual X server with Mesa's
# software OpenGL; then the manual's picture must be the one it drew.
#
# Runs here if this machine has raylib.h and Xvfb, else inside the Debian sid
# root of scripts/debian_sid.sh (as root), whose packages include
# libraylib-dev, xvfb and Mesa, with python3.14.  PYTHON chooses the
# interpreter; the wheel is built with the virtual environment .venv-VERSION
# (or $VENV).
#
#   bash scripts/raylib.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if [ ! -e /usr/include/raylib.h ] || ! command -v Xvfb >/dev/null; then
    exec bash scripts/debian_sid.sh env PYTHON="${PYTHON:-python3.14}" bash scripts/raylib.sh
fi

started=$SECONDS
repo=$PWD
example_python=$(find_python)
version=$("$example_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
export VENV=${VENV:-.venv-$version}

echo "== raylib: the wheel"
python=$(make_venv "$VENV")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m pip wheel --quiet --no-deps -w "$work/wheel" .
wheels=("$work"/wheel/vantel_color-*.whl)

# Only the header tests that use the installed raylib.h, which must be
# there; they need nothing of the package but its headers, so the wheel
# serves.
echo "== raylib: the headers beside the installed raylib.h"
VANTEL_COLOR_REQUIRE_RAYLIB=1 PYTHON=$example_python \
    bash scripts/wheel_tests.sh "${wheels[0]}" -ra tests/test_header.py -k "installed or raylibs"

# As scripts/check_api.sh builds and runs the other recipes: -Werror, a
# quiet pip, and an extra index whose vantel-color must never be installed.
echo "== raylib: example raylib_cmake"
make_decoy_index "$work/bogus-index"
example=raylib_cmake
cp -r "$repo/examples/$example" "$work/$example"
# What an earlier run left in the example's directory is not its source.
rm -rf "$work/$example/venv" "$work/$example/build" "$work/$example/picture.png"
PYTHON=$example_python CFLAGS=-Werror CXXFLAGS=-Werror PIP_QUIET=1 \
    PIP_EXTRA_INDEX_URL="file://$work/bogus-index${PIP_EXTRA_INDEX_URL:+ $PIP_EXTRA_INDEX_URL}" \
    bash "$work/$example/build_and_run.sh" "$work/wheel" | tee "$work/output"
# The recipe skips its window where no display server starts; here one must.
if ! grep -q '^window: .*every pixel as drawn$' "$work/output"; then
    echo "error: raylib_cmake drew no window" >&2
    exit 1
fi

echo "== raylib: the manual's picture is the one the recipe drew"
"$work/$example/venv/bin/python" - "$work/$example/picture.png" docs/figures/raylib-picture.png <<'EOF'
import sys

import png

drawn, shown = ([list(row) for row in png.Reader(filename=name).asRGBA8()[2]] for name in sys.argv[1:])
if drawn != shown:
    sys.exit(f"{sys.argv[2]} is not the picture the recipe draws: copy {sys.argv[1]} over it")
print(f"ok: {sys.argv[2]}")
EOF
echo "== raylib: passed in $((SECONDS - started)) s"
