#!/usr/bin/env bash
# Runs a representative part of the test suite under valgrind's memcheck,
# against a build of the module with debug information, in a virtual
# environment of its own.  Exits non-zero if memcheck reports an error (an
# invalid read or write, a use of uninitialised memory, an invalid free) or
# if a test fails.
#
#   bash scripts/valgrind.sh                 # the representative part
#   bash scripts/valgrind.sh tests/test_x.py # other tests instead (pytest arguments)
#
# It is not part of CI: memcheck slows the interpreter down many times
# over, so even the representative part takes minutes.
# Run it after a change to the module's memory handling.  Needs valgrind
# (apt-get install valgrind); VALGRIND_VENV chooses the virtual environment
# (default build/valgrind/venv).
#
# Every Python allocation goes to the C allocator (PYTHONMALLOC=malloc), so
# that memcheck sees each object as its own block and no pymalloc arena
# hides a stray access.  Leak checking is off for the same reason as in
# sanitize.sh: the interpreter does not free its heap at exit;
# tests/test_leaks.py hunts leaks instead.  Subprocesses that tests start
# run natively.
#
# One suppression on x86-64, written below: glibc's AVX2 wmemcmp, which the
# interpreter uses to compare str objects of 4-byte characters, reads whole
# 32-byte vectors and so past the end of a string's block (harmlessly: the
# read never crosses a page).  Valgrind 3.19 does not replace that variant
# and reports "Invalid read of size 32" inside unicode_compare; nothing of
# the module is involved, and only reads of exactly that function called
# from exactly that caller are suppressed.  Other architectures' glibc has
# no such variant, and they run with no suppression.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

if ! command -v valgrind >/dev/null; then
    echo "error: valgrind is not installed (apt-get install valgrind)" >&2
    exit 1
fi

venv=${VALGRIND_VENV:-build/valgrind/venv}
python=$(make_venv "$venv")

echo "valgrind: building the module with debug information" >&2
install_instrumented "$python" "-g -O1 -fno-omit-frame-pointer" valgrind

if [ $# -eq 0 ]; then
    # Every operation of the module and every error path, by the tests' own
    # markers (pyproject.toml): without the tests that mostly start fresh
    # interpreters, sweep, or check the build, and of the slow ones only
    # those marked for memcheck.
    set -- -m "memcheck or not (slow or sweep or packaging or binutils or benchmark or interpreters)"
fi

log=$(realpath -m build/valgrind/memcheck.log)
suppressions=()
if [ "$(uname -m)" = x86_64 ]; then
    suppression_file=$(realpath -m build/valgrind/glibc-wmemcmp.supp)
    suppressions=("--suppressions=$suppression_file")
    cat >"$suppression_file" <<'EOF'
{
   glibc-avx2-wmemcmp-reads-whole-vectors
   Memcheck:Addr32
   fun:__wmemcmp_avx2_movbe
   fun:unicode_compare
}
EOF
fi
start=$(date +%s)
status=0
PYTHONMALLOC=malloc \
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=no --track-origins=yes \
    --num-callers=30 "${suppressions[@]}" --log-file="$log" \
    "$python" -m pytest -q -p no:cacheprovider --hypothesis-profile=ci "$@" || status=$?
echo "valgrind: $(( $(date +%s) - start )) s; memcheck log: $log" >&2
grep -E "ERROR SUMMARY" "$log" | tail -1 >&2
if [ "$status" -eq 99 ]; then
    echo "valgrind: memcheck reported errors:" >&2
    cat "$log" >&2
fi
exit "$status"
