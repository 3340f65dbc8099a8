#!/usr/bin/env bash
# Counts instructions per operation (benchmarks/bench.py --instructions) on
# every supported interpreter and writes the manual's figures, one file per
# interpreter, docs/figures/benchmarks-NAME.md:
#
#   bash benchmarks/all_interpreters.sh            # 3.13 3.14 3.15 3.14t
#   bash benchmarks/all_interpreters.sh 3.14 3.14t # only those
#
# 3.13, 3.14 and 3.15 are this machine's where it has them (PYTHON313=,
# PYTHON314=, PYTHON315= name one), else Debian sid's, run inside the root of
# scripts/debian_sid.sh (which needs root); 3.14t is the free-threaded build
# of scripts/free_threaded_python.sh, measured without the GIL
# (PYTHON_GIL=0).  Each interpreter gets a virtual environment of its own,
# .venv-bench-NAME, with the package and the test suite's native builds
# (the consumer that the native rows call) built from this checkout, and
# pygame-ce where it has a wheel for that interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# One interpreter, already found: $1 its name, PYTHON the interpreter.
measure_one() {
    local name=$1 python
    python=$(make_venv ".venv-bench-$name")
    install_for_tests "$python"
    # pygame-ce is a peer only where it installs from a wheel: a source build
    # would need SDL's headers.
    if ! "$python" -m pip install --quiet --only-binary=:all: -r benchmarks/requirements.txt; then
        echo "all_interpreters: no pygame-ce wheel for $name: measured without it" >&2
    fi
    "$python" benchmarks/bench.py --instructions --markdown "docs/figures/benchmarks-$name.md"
}

if [ "${1:-}" = "--one" ]; then
    measure_one "$2"
    exit 0
fi

names=("$@")
[ ${#names[@]} -gt 0 ] || names=(3.13 3.14 3.15 3.14t)
for name in "${names[@]}"; do
    echo "== all_interpreters: $name"
    case $name in
        3.14t)
            PYTHON=$(bash scripts/free_threaded_python.sh) PYTHON_GIL=0 \
                bash benchmarks/all_interpreters.sh --one "$name"
            ;;
        3.1[3-9])
            variable=PYTHON${name/./}
            if [ -n "${!variable:-}" ]; then
                PYTHON=${!variable} bash benchmarks/all_interpreters.sh --one "$name"
            else
                PYTHON='' with_python "$name" bash benchmarks/all_interpreters.sh --one "$name"
            fi
            ;;
        *)
            echo "error: unknown interpreter $name (3.13, 3.14, 3.15 or 3.14t)" >&2
            exit 2
            ;;
    esac
done
