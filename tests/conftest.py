"""Fixtures shared by the test modules."""

import pytest

from consumer.build import BuildError, build_consumer, load_consumer


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
