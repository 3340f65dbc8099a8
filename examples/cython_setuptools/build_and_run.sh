#!/usr/bin/env bash
# Builds and installs shade in a fresh virtual environment and runs use.py.
# PYTHON names the interpreter (default python3).
set -euo pipefail
cd "$(dirname "$0")"

"${PYTHON:-python3}" -m venv --clear venv
venv/bin/pip install .
venv/bin/python use.py
