#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.14 (python3.14t, built with
# --disable-gil), building it first if this machine has none: from the
# source tarball in ../shared/cpython/, once, into $FREE_THREADED_PREFIX
# (default ~/.cache/vantel-color/python3.14t), where later runs find it.
# Remove that directory to build it afresh.  The build takes about six
# minutes on two cores; its log is shown only when it fails.
#
#   python=$(bash scripts/free_threaded_python.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

tarball=${CPYTHON_TARBALL:-$(realpath -m ../shared/cpython/Python-3.14.7.tar.xz)}
prefix=$(realpath -m "${FREE_THREADED_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/vantel-color/python3.14t}")
python="$prefix/bin/python3.14t"
# Written last, so that a build cut short is made again.
ready="$prefix/.vantel-color-ready"

mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$ready" ] || [ "$(cat "$ready")" != "$(basename "$tarball")" ]; then
    if [ ! -f "$tarball" ]; then
        echo "error: no CPython source at $tarball (set CPYTHON_TARBALL)" >&2
        exit 1
    fi
    rm -rf "$prefix" "$prefix.build"
    mkdir -p "$prefix.build"
    log="$prefix.build.log"
    echo "free_threaded_python: building a free-threaded CPython from $tarball into $prefix" >&2
    # pip needs ssl and zlib; the test suite needs ctypes (libffi).
    if ! (
        tar -xJf "$tarball" -C "$prefix.build" --strip-components=1 &&
            cd "$prefix.build" &&
            ./configure --disable-gil --prefix="$prefix" --without-ensurepip &&
            make -j"$(nproc)" &&
            make install &&
            "$python" -c 'import ssl, zlib, ctypes' &&
            "$python" -m ensurepip --upgrade
    ) >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "error: the free-threaded build failed; its whole log is $log" >&2
        exit 1
    fi
    rm -rf "$prefix.build"
    basename "$tarball" >"$ready"
fi
flock -u 9
echo "$python"
