# Shared by the scripts: finding Python 3.13 and preparing a virtual environment.
# Source it; it defines functions only.

# Prints the path of a Python 3.13 interpreter: $PYTHON if set, else the
# first python3.13 on PATH or in a pyenv installation.
find_python() {
    local candidate
    for candidate in "${PYTHON:-}" "$(command -v python3.13 || true)" \
        /usr/bin/python3.13 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13.*/bin/python3.13; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] &&
            "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    echo "error: no Python 3.13 found; set PYTHON=/path/to/python3.13" >&2
    return 1
}

# Creates (or reuses) the virtual environment $1 and prints its python.  An
# environment made by another interpreter (another version, or one that is
# gone) is made afresh: its compiled packages would not fit.
make_venv() {
    local venv python version
    venv=$(realpath -m "$1")
    python=$(find_python) || return 1
    version=$("$python" -c 'import sys; print(sys.version)')
    if [ ! -x "$venv/bin/python" ] ||
        [ "$("$venv/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null)" != "$version" ]; then
        "$python" -m venv --clear "$venv" >&2
        "$venv/bin/python" -m pip install --quiet --upgrade pip >&2
    fi
    echo "$venv/bin/python"
}

# Installs the package with its test extras and the test suite's native
# builds (VANTEL_COLOR_TEST_BUILDS) into the environment of python $1; the
# other arguments go to pip.  The test extras come first: the build runs the
# environment's Cython for the Cython consumer.
install_for_tests() {
    local python=$1
    shift
    # shellcheck disable=SC2046  # one word per requirement
    "$python" -m pip install --quiet $("$python" -c '
import tomllib
with open("pyproject.toml", "rb") as file:
    print(*tomllib.load(file)["project"]["optional-dependencies"]["test"])')
    "$python" -m pip install --quiet \
        -C cmake.define.VANTEL_COLOR_TEST_BUILDS=ON \
        -C "cmake.define.VANTEL_COLOR_CYTHON=$(dirname "$python")/cython" \
        "$@" ".[test]"
}

# Installs the package for the tests into the environment of python $1,
# compiled with the extra flags $2 in the build directory build/$3, so that
# the CMake cache of the ordinary build never picks up those flags, nor this
# build loses them.
install_instrumented() {
    install_for_tests "$1" \
        -C "cmake.define.VANTEL_COLOR_EXTRA_FLAGS=$2" \
        -C "build-dir=build/$3/{wheel_tag}"
}
