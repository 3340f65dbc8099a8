#!/usr/bin/env bash
# Builds and installs the package into .venv, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

python=$(make_venv "${VENV:-.venv}")
"$python" -m pip install --quiet .
cd examples  # away from the source tree: the installed package is used
"$python" demo.py
