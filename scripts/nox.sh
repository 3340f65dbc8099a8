#!/usr/bin/env bash
# Runs nox (noxfile.py) with these arguments, from a small virtual
# environment of its own under build/nox, made on first use, with what
# noxfile.py's inline metadata asks for (nox) from PyPI, for a machine that
# has no nox:
#
#   bash scripts/nox.sh -l
#   bash scripts/nox.sh -r -s tests -- -k repr
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

python=$(find_python)
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=build/nox/venv-$version-$(uname -m)
mkdir -p build/nox
# CI's two lanes may both ask for it at once.
exec {lock}>build/nox/.lock
flock "$lock"
python=$(make_venv "$venv")
# pip 25.3 or later, which make_venv installs, reads the inline metadata.
# A nox older than noxfile.py's nox.needs_version says so: remove build/nox.
if ! "$python" -c 'import nox' 2>/dev/null; then
    "$python" -m pip install --quiet --requirements-from-script noxfile.py >&2
fi
flock -u "$lock"
exec "$python" -m nox "$@"
