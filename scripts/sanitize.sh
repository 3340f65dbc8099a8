#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# a virtual environment of its own and runs the whole test suite against it.
# Exits non-zero if the tests fail or if any process of the run (pytest, the
# fresh interpreters the tests start, the test-only native builds) wrote a
# sanitizer report.
#
#   bash scripts/sanitize.sh [pytest arguments]
#
# SANITIZE_VENV chooses the virtual environment (default build/sanitize/venv).
#
# The interpreter itself is not instrumented, so:
#   - the ASan runtime is preloaded: it must be the first library in the
#     process, ahead of the interpreter's malloc and of the module;
#   - PYTHONMALLOC=malloc sends every Python object allocation through the
#     C allocator that ASan watches, so that a reference the module releases
#     too early turns into a heap-use-after-free report instead of a silent
#     reuse of a pymalloc block;
#   - leak detection is off (detect_leaks=0).  The interpreter never frees a
#     large part of its heap at exit (static types, interned strings, the
#     modules still alive), and LeakSanitizer cannot tell those blocks from a
#     leak of the module: every one of them is allocated through the same
#     PyObject_Malloc frames, so any suppression that silenced the
#     interpreter would silence the module as well.  Leaks are hunted by
#     tests/test_leaks.py instead, which counts the interpreter's blocks
#     around every operation.
# No other suppression is needed: the run must produce no report at all.
#
# The allocation-failure sweep fails only every VANTEL_FAULT_STRIDE-th
# allocation of each operation here (default 5); the plain run fails each.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

venv=${SANITIZE_VENV:-build/sanitize/venv}
python=$(make_venv "$venv")

sanitize_flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -g -O1"
asan_runtime=$(sanitizer_runtime libasan.so)

echo "sanitize: building the module with $sanitize_flags" >&2
install_instrumented "$python" "$sanitize_flags" sanitize

report_dir=$(fresh_report_dir build/sanitize/reports)

sanitized() {
    env \
        LD_PRELOAD="$asan_runtime${LD_PRELOAD:+ $LD_PRELOAD}" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$1/asan" \
        UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$1/ubsan" \
        VANTEL_FAULT_STRIDE="${VANTEL_FAULT_STRIDE:-5}" \
        "${@:2}"
}

# Self-checks: the installed module carries both sanitizers, and a heap
# overflow in the preloaded process does end up as a report file.
module=$("$python" -c '
import glob, sysconfig
print(*glob.glob(sysconfig.get_paths()["platlib"] + "/vantel/color/color.*.so"))')
# ldd's output is read whole: grep -q would stop reading at the first match,
# and the write error it leaves ldd fails the pipeline under pipefail.
linked=$(ldd "$module")
for runtime in libasan libubsan; do
    if ! grep -q "$runtime" <<<"$linked"; then
        echo "error: $module is not linked against $runtime" >&2
        exit 1
    fi
done
probe_dir="$report_dir/probe"
mkdir -p "$probe_dir"
if sanitized "$probe_dir" "$python" -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
block = libc.malloc(8)
ctypes.string_at(block + 16, 8)
' 2>/dev/null || [ -z "$(ls "$probe_dir")" ]; then
    echo "error: AddressSanitizer did not report a deliberate heap overflow" >&2
    exit 1
fi
rm -rf "$probe_dir"

status=0
sanitized "$report_dir" "$python" -m pytest -q -p no:cacheprovider "$@" || status=$?

reports=$(find "$report_dir" -type f | sort)
if [ -n "$reports" ]; then
    echo "sanitize: sanitizer reports were written:" >&2
    for report in $reports; do
        echo "=== $report" >&2
        cat "$report" >&2
    done
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitize: the test suite failed under the sanitizers (exit $status)" >&2
    exit "$status"
fi
echo "sanitize: no AddressSanitizer or UndefinedBehaviorSanitizer report" >&2
