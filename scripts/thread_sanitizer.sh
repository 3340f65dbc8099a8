#!/usr/bin/env bash
# Builds the module with ThreadSanitizer into a virtual environment of the
# free-threaded CPython (scripts/free_threaded_python.sh) and runs the thread
# tests there without the GIL.  Exits non-zero if the tests fail or if any
# report names the module's own code.
#
#   bash scripts/thread_sanitizer.sh [pytest arguments]
#
# Default arguments: tests/test_threads.py and the generator tests.
# TSAN_VENV chooses the virtual environment (default build/tsan/venv).
#
# The interpreter itself is not instrumented, so:
#   - the TSan runtime is preloaded, ahead of everything else;
#   - ignore_noninstrumented_modules=1: the interpreter's own memory traffic
#     (its memcpy and memset, say) is not recorded, so a report needs an
#     access by the module on both sides, or one of the module's against an
#     intercepted call it made itself;
#   - the interpreter's locks and atomics are invisible to TSan: the module
#     makes every access that threads can make at once atomic, so that two
#     of its accesses never race whatever orders them;
#   - reports wholly inside the interpreter are what the suppression file
#     scripts/thread_sanitizer.supp may silence, each entry with its reason;
#     a report that names the module fails the run whatever the file says.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

PYTHON=${PYTHON:-$(bash scripts/free_threaded_python.sh)}
export PYTHON
venv=${TSAN_VENV:-build/tsan/venv}
python=$(make_venv "$venv")
if [ "$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or 0)')" != 1 ]; then
    echo "error: $PYTHON is not a free-threaded interpreter" >&2
    exit 1
fi

tsan_flags="-fsanitize=thread -fno-omit-frame-pointer -g -O1"
tsan_runtime=$(sanitizer_runtime libtsan.so)

echo "thread_sanitizer: building the module with $tsan_flags" >&2
install_instrumented "$python" "$tsan_flags" tsan

report_dir=$(fresh_report_dir build/tsan/reports)
suppressions=$(realpath scripts/thread_sanitizer.supp)

sanitized() {
    env \
        LD_PRELOAD="$tsan_runtime${LD_PRELOAD:+ $LD_PRELOAD}" \
        PYTHON_GIL=0 \
        TSAN_OPTIONS="ignore_noninstrumented_modules=1:halt_on_error=0:second_deadlock_stack=1:suppressions=$suppressions:log_path=$1/tsan" \
        "${@:2}"
}

module=$("$python" -c '
import glob, sysconfig
print(*glob.glob(sysconfig.get_paths()["platlib"] + "/vantel/color/color.*.so"))')
linked=$(ldd "$module")
if ! grep -q libtsan <<<"$linked"; then
    echo "error: $module is not linked against libtsan" >&2
    exit 1
fi

# The tests that import the module from several threads at once are left
# out: importlib's lock orders module execution before any other thread
# uses what it made, but that lock is the interpreter's and invisible here.
if [ $# -eq 0 ]; then
    set -- tests/test_threads.py tests/test_generator.py tests/test_iteration.py \
        -k "not racing_to_import and not retrying_after_a_failed_execution"
fi
status=0
sanitized "$report_dir" "$python" -m pytest -q -p no:cacheprovider "$@" || status=$?

# The installed library is stripped: the module's frames are named from the
# unstripped one in the build directory, with the source line.
unstripped=$(ls build/tsan/*/color.*.so | head -n 1)
symbolize() {
    local line address
    while IFS= read -r line; do
        address=$(grep -oE 'color\.[^ ]*\.so\+0x[0-9a-f]+' <<<"$line" | sed 's/.*+//' || true)
        if [ -n "$address" ] && [ -n "$unstripped" ]; then
            line="$line  $(addr2line -f -C -i -e "$unstripped" "$address" | paste -sd ' ')"
        fi
        echo "$line"
    done <"$1"
}

# Every report left fails the run: one that names the module (a frame in its
# library), and one wholly inside the interpreter that the suppression file
# does not cover yet.
failed=0
for report in $(find "$report_dir" -type f | sort); do
    echo "=== $report" >&2
    symbolize "$report" >&2
    failed=1
done
if [ "$failed" -ne 0 ]; then
    echo "thread_sanitizer: ThreadSanitizer reported races" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "thread_sanitizer: the tests failed under ThreadSanitizer (exit $status)" >&2
    exit "$status"
fi
echo "thread_sanitizer: no ThreadSanitizer report" >&2
