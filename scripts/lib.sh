# shellcheck shell=bash
# Shared by the scripts: the supported versions, finding a
# Python interpreter of one of them, and preparing a virtual environment.
# Source it; it defines variables and functions only.

# The versions that a release has wheels for and CI tests, as the classifiers
# of pyproject.toml name them ("Programming Language :: Python :: 3.13"),
# oldest first; the search for an interpreter starts at the oldest.
SUPPORTED_PYTHONS=$(sed -n 's/^ *"Programming Language :: Python :: \(3\.[0-9]*\)",$/\1/p' \
    "$(dirname "${BASH_SOURCE[0]}")/../pyproject.toml" | sort -V | paste -sd ' ')
MINIMUM_PYTHON=${SUPPORTED_PYTHONS%% *}
# The CPython source release beside the checkout: the free-threaded
# interpreter is built from it, and the Windows build compiles against its
# headers.
CPYTHON_TARBALL=${CPYTHON_TARBALL:-$(realpath -m "$(dirname "${BASH_SOURCE[0]}")/../../shared/cpython/Python-3.14.7.tar.xz")}

# Whether $1 runs and is CPython $MINIMUM_PYTHON or later.
python_is_supported() {
    "$1" -c "import sys; sys.exit(sys.version_info[:2] < tuple(map(int, '$MINIMUM_PYTHON'.split('.'))))" \
        2>/dev/null
}

# Prints the path of the interpreter to build and test with.  $PYTHON, if
# set, is the one (a path or a command name), and it is an error if it is
# older than $MINIMUM_PYTHON.  Otherwise the oldest supported minor version
# found wins, 3.13 first: the full test command and the recorded figures are
# those of 3.13, and a build against the oldest headers is the one that
# catches use of a newer API.
find_python() {
    local candidate minor
    if [ -n "${PYTHON:-}" ]; then
        candidate=$(command -v "$PYTHON" || true)
        if [ -z "$candidate" ] || ! python_is_supported "$candidate"; then
            echo "error: PYTHON=$PYTHON is not a Python $MINIMUM_PYTHON or later" >&2
            return 1
        fi
        echo "$candidate"
        return 0
    fi
    for minor in $(seq "${MINIMUM_PYTHON#3.}" 30); do
        find_python_version "3.$minor" && return 0
    done
    echo "error: no Python $MINIMUM_PYTHON or later found; set PYTHON=/path/to/python3" >&2
    return 1
}

# Prints the path of a Python of version $1 (3.14, say): $PYTHON if it is
# one, else the first on PATH, in /usr/bin or in pyenv; fails quietly if
# there is none.
find_python_version() {
    local candidate
    for candidate in "$(command -v "${PYTHON:-}" || true)" \
        "$(command -v "python$1" || true)" "/usr/bin/python$1" \
        "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".*/bin/"python$1"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] &&
            [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$1" ]; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# Prints those of $SUPPORTED_PYTHONS that this machine has an interpreter of.
local_python_versions() {
    local version found=()
    for version in $SUPPORTED_PYTHONS; do
        if find_python_version "$version" >/dev/null; then
            found+=("$version")
        fi
    done
    echo "${found[*]}"
}

# Runs COMMAND from the checkout's top with PYTHON naming a Python of version
# $1: this machine's if it has one, else Debian's, inside the root of
# scripts/debian_sid.sh (which needs root).
with_python() {
    local version=$1 python
    shift
    if python=$(find_python_version "$version"); then
        PYTHON=$python "$@"
    else
        bash scripts/debian_sid.sh env PYTHON="python$version" "$@"
    fi
}

# Creates (or reuses) the virtual environment $1 and prints its python.  An
# environment made by another interpreter (another version, or one that is
# gone) is made afresh: its compiled packages would not fit; so is one left
# half-made, without a working pip (an earlier attempt failed, for instance
# where the interpreter's venv module lacked ensurepip).
make_venv() {
    local venv python version package
    venv=$(realpath -m "$1")
    python=$(find_python) || return 1
    version=$("$python" -c 'import sys; print(sys.version)') || return 1
    if [ -x "$venv/bin/python" ] &&
        [ "$("$venv/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null)" = "$version" ] &&
        "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
        echo "$venv/bin/python"
        return 0
    fi
    if ! "$python" -m venv --clear "$venv" >&2 ||
        ! "$venv/bin/python" -m pip install --quiet --upgrade pip >&2; then
        package=$("$python" -c 'import sys; print("python%d.%d-venv" % sys.version_info[:2])')
        echo "error: could not make a virtual environment with pip in $venv from $python" >&2
        echo "(on Debian and Ubuntu, ensurepip comes with the package $package)" >&2
        return 1
    fi
    echo "$venv/bin/python"
}

# Installs the package with the test suite's native builds
# (VANTEL_COLOR_TEST_BUILDS) into the environment of python $1, after the
# dependency group "test" of pyproject.toml; the other arguments go to pip.
# The group comes first: the build runs the environment's Cython for the
# Cython consumer.  Run from the checkout's top, where pip finds the group.
install_for_tests() {
    local python=$1
    shift
    "$python" -m pip install --quiet --group test
    "$python" -m pip install --quiet \
        -C cmake.define.VANTEL_COLOR_TEST_BUILDS=ON \
        -C "cmake.define.VANTEL_COLOR_CYTHON=$(dirname "$python")/cython" \
        "$@" .
}

# Makes in the directory $1 a package index that offers a vantel-color 999.0
# whose build fails.  pip takes the highest version that any index it
# consults offers, so a build given it as an extra index
# (PIP_EXTRA_INDEX_URL=file://$1) tries that one and fails if it ever lets
# an index compete with the local wheel.
make_decoy_index() {
    local bogus=$1/vantel-color source=vantel_color-999.0
    mkdir -p "$bogus/$source"
    printf '[build-system]\nrequires = []\nbuild-backend = "decoy"\nbackend-path = ["."]\n' \
        >"$bogus/$source/pyproject.toml"
    echo 'raise ImportError("this vantel-color came from an index")' >"$bogus/$source/decoy.py"
    tar -czf "$bogus/$source.tar.gz" -C "$bogus" "$source"
    # A package's page of a "simple" index served from a directory.
    echo "<a href=\"$source.tar.gz\">$source.tar.gz</a>" >"$bogus/index.html"
}
