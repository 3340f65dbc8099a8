#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.14 (python3.14t, built with
# --disable-gil), building it first if this machine has none: from the
# source tarball of scripts/lib.sh ($CPYTHON_TARBALL), once, into a cache
# directory where later runs find it.  Remove that directory to build it
# afresh.  The build takes about six minutes on two cores; its log is shown
# only when it fails.
#
#   python=$(bash scripts/free_threaded_python.sh)
#   python=$(bash scripts/free_threaded_python.sh --thread-sanitizer)
#   python=$(bash scripts/free_threaded_python.sh --no-build [--thread-sanitizer])
#
# --no-build prints where the interpreter is or will be, and builds nothing
# (noxfile.py names its sessions' interpreter so, and builds it only for a
# session that runs).
#
# The ordinary interpreter is installed into $FREE_THREADED_PREFIX (default
# ~/.cache/vantel-color/python3.14t).  With --thread-sanitizer it is also
# configured --with-thread-sanitizer, as CPython's own CI checks its free
# threading, and stays in its build tree $FREE_THREADED_TSAN_PREFIX (default
# ~/.cache/vantel-color/python3.14t-tsan): a virtual environment made from a
# build tree works, and installing would only precompile the standard
# library a second time, at the instrumented interpreter's pace.
set -euo pipefail
cd "$(dirname "$0")/.."

build=true
if [ "${1:-}" = --no-build ]; then
    build=false
    shift
fi
cache=${XDG_CACHE_HOME:-$HOME/.cache}/vantel-color
source scripts/lib.sh
tarball=$CPYTHON_TARBALL
case "${1:-}" in
    "")
        prefix=$(realpath -m "${FREE_THREADED_PREFIX:-$cache/python3.14t}")
        configure=(--disable-gil --prefix="$prefix" --without-ensurepip)
        build_dir="$prefix.build"
        python="$prefix/bin/python3.14t"
        finish=(sh -c 'make install && "$1" -m ensurepip --upgrade' finish "$python")
        ;;
    --thread-sanitizer)
        prefix=$(realpath -m "${FREE_THREADED_TSAN_PREFIX:-$cache/python3.14t-tsan}")
        configure=(--disable-gil --with-thread-sanitizer --without-ensurepip)
        build_dir=$prefix
        python="$prefix/python"
        # Virtual environments made from it get pip from ensurepip's wheel.
        finish=(true)
        ;;
    *)
        echo "usage: $0 [--no-build] [--thread-sanitizer]" >&2
        exit 2
        ;;
esac
if ! $build; then
    echo "$python"
    exit 0
fi
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
    rm -rf "$prefix" "$build_dir"
    mkdir -p "$build_dir"
    log="$prefix.build.log"
    echo "free_threaded_python: building CPython ${configure[*]} from $tarball into $prefix" >&2
    # pip needs ssl and zlib; the test suite needs ctypes (libffi).
    if ! (
        tar -xJf "$tarball" -C "$build_dir" --strip-components=1 &&
            cd "$build_dir" &&
            ./configure "${configure[@]}" &&
            make -j"$(nproc)" &&
            "${finish[@]}" &&
            "$python" -c 'import ssl, zlib, ctypes'
    ) >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "error: the free-threaded build failed; its whole log is $log" >&2
        exit 1
    fi
    if [ "$build_dir" != "$prefix" ]; then
        rm -rf "$build_dir"
    fi
    basename "$tarball" >"$ready"
fi
flock -u 9
echo "$python"
