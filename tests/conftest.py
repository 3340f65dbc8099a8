"""Fixtures shared by the test modules: the test-only native builds, each
made once per session."""

import os

import pytest

from consumer.build import (
    BuildError,
    build_c_consumer,
    build_consumer,
    build_cython_consumer,
    load_consumer,
)
from fault_injection.build import build_injector
from native_build import build_module_package, module_sources
from support import PRETEND_VERSION_HEX


@pytest.fixture(scope="session")
def consumer_path(tmp_path_factory):
    """Builds the test-only `_color_consumer` extension and returns its path."""
    try:
        return build_consumer(tmp_path_factory.mktemp("consumer"))
    except BuildError as error:
        pytest.fail(str(error))


@pytest.fixture(scope="session")
def consumer(consumer_path):
    """The `_color_consumer` module, imported from its built file."""
    return load_consumer(consumer_path)


def build_or_fail(build, tmp_path_factory, name):
    """Runs `build` into a fresh directory `name`; a failed build fails the test."""
    try:
        return build(tmp_path_factory.mktemp(name))
    except BuildError as error:
        pytest.fail(str(error))


@pytest.fixture(scope="session")
def injector_path(tmp_path_factory):
    """Builds the allocation-failure injector `_failing_alloc`
    (tests/fault_injection) and returns its path."""
    return build_or_fail(build_injector, tmp_path_factory, "injector")


@pytest.fixture(scope="session")
def c_consumer(tmp_path_factory):
    """The C11 consumer `_color_consumer_c`, built and imported."""
    return load_consumer(build_or_fail(build_c_consumer, tmp_path_factory, "c_consumer"))


@pytest.fixture(scope="session")
def cython_consumer(tmp_path_factory):
    """The Cython consumer `_color_consumer_cython`, built and imported."""
    return load_consumer(build_or_fail(build_cython_consumer, tmp_path_factory, "cython_consumer"))


def build_test_module(tmp_path_factory, name, definitions):
    """Builds the module from the source tree with test-only `definitions`
    into a package tree of its own; returns (the directory to put on
    sys.path, the built file).  VANTEL_SKIP_SLOW_BUILDS=1 skips the tests
    that need it."""
    if os.environ.get("VANTEL_SKIP_SLOW_BUILDS") == "1":
        pytest.skip(f"VANTEL_SKIP_SLOW_BUILDS=1: the {name} build of the module is not made")
    if not module_sources():
        pytest.skip("the source tree is not available")
    directory = tmp_path_factory.mktemp(name)
    try:
        return directory, build_module_package(directory, definitions)
    except BuildError as error:
        pytest.fail(str(error))


@pytest.fixture(scope="session")
def pretend(tmp_path_factory):
    """The module as if compiled for Python 3.12: every execution warns that
    the versions differ, which a warning filter can turn into a failure."""
    return build_test_module(
        tmp_path_factory, "pretend-3.12", {"VANTEL_COLOR_BUILT_FOR_VERSION_HEX": PRETEND_VERSION_HEX}
    )


@pytest.fixture(scope="session")
def hook_site(tmp_path_factory):
    """The module with its test hooks: VANTEL_COLOR_FAIL_EXEC_STEP=N makes exec
    step N fail.  Returns the directory to put on sys.path."""
    directory, _ = build_test_module(tmp_path_factory, "test-hooks", {"VANTEL_COLOR_TEST_HOOKS": None})
    return directory
