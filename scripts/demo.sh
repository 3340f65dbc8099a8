#!/usr/bin/env bash
# Builds and installs the package into .nox/demo, then runs the demo: the
# demo session of noxfile.py, with nox from scripts/nox.sh.
set -euo pipefail
exec bash "$(dirname "$0")/nox.sh" -r -s demo
