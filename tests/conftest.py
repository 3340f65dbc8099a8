"""Fixtures shared by the test modules: the test suite's native builds,
which the build system makes and installs beside the package."""

import os

import pytest
from hypothesis import settings

from support import built_for_tests, load_extension

# No wall-clock limit on an example: the suite runs under sanitizers, under
# emulation and beside other jobs, where an example's time says nothing
# about the module.
settings.register_profile("no-deadline", deadline=None)
settings.load_profile("no-deadline")

# Set where the suite tests an installed wheel (cibuildwheel's test step on
# Windows, macOS and Linux runners): a wheel never carries the test suite's
# native builds, which only the scripts' builds make, with gcc's or clang's
# flags.
WHEEL_TEST = os.environ.get("VANTEL_COLOR_WHEEL_TEST") == "1"


def installed(name):
    """The path of the test build `name`.  The test fails if it is missing,
    or is skipped, with the reason, when the suite tests a wheel."""
    try:
        return built_for_tests(name)
    except FileNotFoundError as error:
        if WHEEL_TEST:
            pytest.skip(
                f"testing a wheel, which has no test build {name!r}: nox -s tests makes them"
            )
        pytest.fail(str(error))


@pytest.fixture(scope="session")
def consumer_path():
    """The test-only `_color_consumer` extension, a C++ module that uses color.h."""
    return installed("_color_consumer")


@pytest.fixture(scope="session")
def consumer(consumer_path):
    """The `_color_consumer` module, imported from its built file."""
    return load_extension("_color_consumer", consumer_path)


@pytest.fixture(scope="session")
def injector_path():
    """The allocation-failure injector `_failing_alloc` (tests/fault_injection)."""
    return installed("_failing_alloc")


@pytest.fixture(scope="session")
def painting():
    """The C++ program of tests/consumer/two_units, linked from two units."""
    return installed("painting")


@pytest.fixture(scope="session")
def c_consumer():
    """The C11 consumer `_color_consumer_c`, which subclasses Color, imported."""
    return load_extension("_color_consumer_c", installed("_color_consumer_c"))


@pytest.fixture(scope="session")
def cython_consumer():
    """The Cython consumer `_color_consumer_cython`, which cimports Color from
    the package's color.pxd and subclasses it, imported."""
    return load_extension("_color_consumer_cython", installed("_color_consumer_cython"))


def package_tree(name):
    """(the directory to put on sys.path, the module's file) of the package
    tree `name`, the module built from its own sources with test-only
    definitions beside copies of the package's Python files and color.h."""
    directory = installed(name)
    (module,) = (directory / "vantel" / "color").glob("color.*.so")
    return directory, module


@pytest.fixture(scope="session")
def pretend():
    """The module as if compiled for Python 254.253: every execution warns that
    the versions differ, which a warning filter can turn into a failure."""
    return package_tree("pretend-254.253")


@pytest.fixture(scope="session")
def hook_site():
    """The module with its test hooks: VANTEL_COLOR_FAIL_EXEC_STEP=N makes exec
    step N fail.  Returns the directory to put on sys.path."""
    directory, _ = package_tree("test-hooks")
    return directory
