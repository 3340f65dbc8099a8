"""Builds `_failing_alloc`, the test-only allocation-failure injector."""

from pathlib import Path

from native_build import compile_native, extension_path

SOURCE = Path(__file__).parent / "_failing_alloc.c"


def build_injector(directory):
    """Compiles the injector into `directory` and returns the built file's path."""
    return compile_native([SOURCE], extension_path(directory, "_failing_alloc"), language="c",
                          include_dirs=[SOURCE.parent],
                          # Module functions take (module, args) whether they use them or not.
                          flags=["-Wno-unused-parameter"])
