#!/usr/bin/env bash
# Runs nox (noxfile.py) with these arguments, from a small virtual
# environment of its own under build/nox, made on first use with nox from
# PyPI, for a machine that has no nox:
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
if ! "$python" -c 'import nox' 2>/dev/null; then
    "$python" -m pip install --quiet nox >&2
fi
flock -u "$lock"
exec "$python" -m nox "$@"
