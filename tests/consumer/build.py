"""Builds the test-only `_color_consumer` extension, a C++ module that uses
the Color class only through color.h, the way another compiled module of the
package does."""

from pathlib import Path

from native_build import BuildError, compile_native, extension_path, load_extension

__all__ = ["BuildError", "build_consumer", "load_consumer"]

SOURCE = Path(__file__).parent / "color_consumer.cpp"


def build_consumer(directory):
    """Compiles the consumer into `directory` and returns the built file's path."""
    return compile_native([SOURCE], extension_path(directory, "_color_consumer"))


def load_consumer(path):
    """Imports the built consumer from its file."""
    return load_extension("_color_consumer", path)
