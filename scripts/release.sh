#!/usr/bin/env bash
# Builds what a release uploads and proves it installs: the sdist, and for
# each supported CPython version a wheel built from that sdist and repaired
# by auditwheel into a manylinux wheel (PyPI refuses the plain linux_<arch>
# wheel a build makes).  Checks that the sdist carries the licence, and
# (scripts/release_wheel.sh) that each wheel meets the manylinux policy,
# carries the licence and the tags of its interpreter, and installs into a
# fresh virtual environment of that interpreter and runs the demo there.
# Leaves the sdist and the wheels in dist/ (or $DIST).
#
#   bash scripts/release.sh
#
# RELEASE_PYTHONS lists the versions (default: all supported, and 3.14t).
# Each wheel is built with this machine's interpreter of its version where it
# has one, else with Debian's inside a Debian sid root (scripts/debian_sid.sh,
# which needs root); 3.14t, the free-threaded build, with the interpreter of
# scripts/free_threaded_python.sh.  RELEASE_VENV chooses the virtual
# environment of the sdist's build tool (default build/release/venv); build
# comes from PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

tools=$(make_venv "${RELEASE_VENV:-build/release/venv}")
"$tools" -m pip install --quiet build
dist=$(realpath -m "${DIST:-dist}")
# Inside the checkout, where the Debian root sees it too.
staging=build/release/staging
rm -rf "$staging"
mkdir -p "$staging"

echo "== sdist"
"$tools" -m build --sdist --outdir "$staging" .
sdists=("$staging"/vantel_color-*.tar.gz)

echo "== licence and metadata of the sdist"
"$tools" - "${sdists[0]}" <<'EOF'
import email.parser
import sys
import tarfile
from pathlib import Path

sdist = sys.argv[1]
with tarfile.open(sdist) as archive:
    root = archive.getnames()[0].split("/")[0]
    if archive.extractfile(f"{root}/LICENSE").read() != Path("LICENSE").read_bytes():
        sys.exit(f"{sdist}: LICENSE differs from the source tree's")
    metadata = email.parser.BytesParser().parsebytes(
        archive.extractfile(f"{root}/PKG-INFO").read())
if metadata["License-Expression"] != "MIT" or metadata["License-File"] != "LICENSE":
    sys.exit(f"{sdist}: License-Expression {metadata['License-Expression']!r}, "
             f"License-File {metadata['License-File']!r}")
print(f"ok: version {metadata['Version']}, MIT licence in the sdist")
EOF

for version in ${RELEASE_PYTHONS:-$SUPPORTED_PYTHONS 3.14t}; do
    if [ "$version" = 3.14t ]; then
        PYTHON=$(bash scripts/free_threaded_python.sh) \
            bash scripts/release_wheel.sh "${sdists[0]}" "$staging/wheels"
    else
        with_python "$version" bash scripts/release_wheel.sh "${sdists[0]}" "$staging/wheels"
    fi
done

mkdir -p "$dist"
rm -f "$dist"/vantel_color-*
cp "${sdists[0]}" "$staging"/wheels/vantel_color-*.whl "$dist/"
echo "release: ready for upload:"
ls -1 "$dist"/vantel_color-*
