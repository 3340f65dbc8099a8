# Shared by the scripts: finding a Python interpreter (3.13 or later) and
# preparing a virtual environment.  Source it; it defines functions only.

# The oldest version the package supports; the search below starts there.
MINIMUM_PYTHON=3.13

# Whether $1 runs and is CPython $MINIMUM_PYTHON or later.
python_is_supported() {
    "$1" -c "import sys; sys.exit(sys.version_info[:2] < tuple(map(int, '$MINIMUM_PYTHON'.split('.'))))" \
        2>/dev/null
}

# Prints the path of the interpreter to build and test with.  $PYTHON, if
# set, is the one (a path or a command name), and it is an error if it is
# older than $MINIMUM_PYTHON.  Otherwise the oldest supported minor version
# found wins, python3.13 first, on PATH, in /usr/bin or in pyenv: the full
# test command and the recorded figures are those of 3.13, and a build
# against the oldest headers is the one that catches use of a newer API.
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
        for candidate in "$(command -v "python3.$minor" || true)" "/usr/bin/python3.$minor" \
            "${PYENV_ROOT:-$HOME/.pyenv}/versions/3.$minor".*/bin/"python3.$minor"; do
            if [ -n "$candidate" ] && [ -x "$candidate" ] && python_is_supported "$candidate"; then
                echo "$candidate"
                return 0
            fi
        done
    done
    echo "error: no Python $MINIMUM_PYTHON or later found; set PYTHON=/path/to/python3" >&2
    return 1
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

# Installs the package with its test extras into the environment of python
# $1, compiled with the extra flags $2 in the build directory build/$3, so
# that the CMake cache of the ordinary build never picks up those flags, nor
# this build loses them.
install_instrumented() {
    local python=$1 flags=$2 name=$3
    "$python" -m pip install --quiet \
        -C "cmake.define.VANTEL_COLOR_EXTRA_FLAGS=$flags" \
        -C "build-dir=build/$name/{wheel_tag}" \
        ".[test]"
}
