#!/usr/bin/env bash
# Runs the whole test suite without the GIL under ThreadSanitizer, the way
# CPython checks its own free threading: on a free-threaded CPython built
# --with-thread-sanitizer (scripts/free_threaded_python.sh
# --thread-sanitizer), with the module and the tests' native builds
# instrumented too, so that a race between the module's memory accesses and
# the interpreter's is seen from both sides.  Exits non-zero if the tests
# fail or if any report names the module's own code.
#
#   bash scripts/thread_sanitizer.sh [pytest arguments]
#
# Default arguments: the whole suite but the tests marked sweep, slow,
# packaging and benchmark.  The instrumented interpreter runs Python code
# some forty times slower; those tests repeat, in one thread, paths the
# others already take (a fresh interpreter for each allocation that fails,
# an operation run hundreds of times, thousands of generated examples), or
# check what was built rather than what it does (compiled against the
# installed headers, which a build tree has not), and callgrind cannot run
# an instrumented interpreter.  TSAN_VENV chooses the virtual
# environment (default build/tsan/venv); PYTHON another instrumented
# free-threaded interpreter, and TSAN_INSTALLER the uninstrumented one of
# the same version that installs into it.
#
# Suppressions: CPython's own file for its free-threaded build, from the
# interpreter's source tree, for the interpreter's known reports; then
# scripts/thread_sanitizer.supp, for anything else wholly inside the
# interpreter, each entry with its reason.  A report that names the module
# fails the run whatever either file says; any other report is listed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

tsan_python=${PYTHON:-$(bash scripts/free_threaded_python.sh --thread-sanitizer)}
read -r version gil_disabled source_dir config_args < <("$tsan_python" -c '
import sys, sysconfig
print("%d.%d.%d%s" % (*sys.version_info[:3], sys.abiflags),
      sysconfig.get_config_var("Py_GIL_DISABLED") or 0, sysconfig.get_config_var("srcdir"),
      sysconfig.get_config_var("CONFIG_ARGS"))')
if [ "$gil_disabled" != 1 ] || [[ $config_args != *--with-thread-sanitizer* ]]; then
    echo "error: $tsan_python is not a free-threaded CPython built --with-thread-sanitizer" >&2
    exit 1
fi

# The instrumented interpreter runs Python code tens of times slower, so pip
# and the build run on the same CPython built without instrumentation, and
# the environment they fill is then handed over to the instrumented one
# (venv --upgrade): one version, one ABI, one site-packages.
installer=${TSAN_INSTALLER:-$(bash scripts/free_threaded_python.sh)}
if [ "$("$installer" -c 'import sys; print("%d.%d.%d%s" % (*sys.version_info[:3], sys.abiflags))')" \
    != "$version" ]; then
    echo "error: $installer is not CPython $version like $tsan_python (set TSAN_INSTALLER)" >&2
    exit 1
fi
venv=${TSAN_VENV:-build/tsan/venv}
python=$(PYTHON=$installer make_venv "$venv")

tsan_flags="-fsanitize=thread -fno-omit-frame-pointer -g -O1"
echo "thread_sanitizer: building the module with $tsan_flags" >&2
install_instrumented "$python" "$tsan_flags" tsan
# The interpreter's links are made afresh: --upgrade keeps those it finds.
find "$venv/bin" -maxdepth 1 -type l -delete
"$tsan_python" -m venv --upgrade --without-pip "$venv"

report_dir=$(fresh_report_dir build/tsan/reports)
suppressions=$report_dir/suppressions.txt
cat "$source_dir/Tools/tsan/suppressions_free_threading.txt" scripts/thread_sanitizer.supp \
    >"$suppressions"
mkdir "$report_dir/reports"

module=$("$python" -c '
import glob, sysconfig
print(*glob.glob(sysconfig.get_paths()["platlib"] + "/vantel/color/color.*.so"))')
linked=$(ldd "$module")  # read whole: grep -q would leave ldd to die of SIGPIPE
if ! grep -q libtsan <<<"$linked"; then
    echo "error: $module is not linked against libtsan" >&2
    exit 1
fi

# Reports are read from their files below; exitcode=0 keeps them from
# changing the exit status of the processes the tests start and check.
if [ $# -eq 0 ]; then
    set -- tests -m "not sweep and not slow and not packaging and not benchmark"
fi
status=0
PYTHON_GIL=0 \
    TSAN_OPTIONS="halt_on_error=0:exitcode=0:second_deadlock_stack=1:suppressions=$suppressions:log_path=$report_dir/reports/tsan" \
    "$python" -m pytest -q -ra -p no:cacheprovider "$@" || status=$?

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

# A report names the module when one of its frames is in the module's
# library (named by its file alone) or in its sources.
failed=0
others=0
for report in $(find "$report_dir/reports" -type f | sort); do
    if grep -qE '[(/]color\.cpython-[^ ]*\.so|src/native/|vantel/color/color\.h' "$report"; then
        echo "=== $report: names the module" >&2
        symbolize "$report" >&2
        failed=1
    else
        others=$((others + $(grep -c '^WARNING: ThreadSanitizer' "$report" || true)))
        echo "=== $report: wholly inside the interpreter or the tests' own libraries" >&2
        grep -E '^WARNING|^    #[0-3] ' "$report" >&2 || true
    fi
done
if [ "$failed" -ne 0 ]; then
    echo "thread_sanitizer: ThreadSanitizer reported races in the module" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "thread_sanitizer: the tests failed under ThreadSanitizer (exit $status)" >&2
    exit "$status"
fi
echo "thread_sanitizer: no ThreadSanitizer report names the module ($others elsewhere, listed above)" >&2
