#!/usr/bin/env bash
# Measures how Color's throughput scales from one thread to two
# (benchmarks/threads.py) on the free-threaded CPython 3.14, without the GIL
# and with it, beside the 3.14 GIL build: this machine's python3.14 if it has
# one, else Debian's in the sid root (scripts/debian_sid.sh, as root).  The
# package is installed into .venv-bench-3.14t and .venv-bench-3.14, built in
# build/bench/.  Arguments go to threads.py:
#
#   bash benchmarks/thread_scaling.sh --markdown docs/figures/threads.md
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

install() {
    local python
    python=$(make_venv "$1")
    "$python" -m pip install --quiet -C "build-dir=build/bench/{wheel_tag}" .
}
PYTHON=$(bash scripts/free_threaded_python.sh) install .venv-bench-3.14t
with_python 3.14 bash -c 'source scripts/lib.sh && '"$(declare -f install)"' && install .venv-bench-3.14'

# The GIL build's venv is run the way it was made (in the sid root or not).
gil_build='bash -c "source scripts/lib.sh && with_python 3.14 .venv-bench-3.14/bin/python \"$@\"" --'
.venv-bench-3.14t/bin/python benchmarks/threads.py \
    --run "3.14=$gil_build" \
    --run "3.14t with the GIL=env PYTHON_GIL=1 .venv-bench-3.14t/bin/python" \
    --run "3.14t without the GIL=env PYTHON_GIL=0 .venv-bench-3.14t/bin/python" \
    "$@"
