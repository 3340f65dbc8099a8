"""Builds `_finalised_color`, a static subtype of Color with a finaliser."""

from pathlib import Path

from native_build import compile_native, extension_path, load_extension

SOURCE = Path(__file__).parent / "_finalised_color.c"


def load_finalised_subtype(directory, color_type, on_finalise):
    """Builds the extension into `directory` and returns its subtype of
    `color_type`, whose finaliser calls `on_finalise(instance)`."""
    path = compile_native([SOURCE], extension_path(directory, "_finalised_color"),
                          language="c", include_dirs=[SOURCE.parent],
                          flags=["-Wno-unused-parameter"])
    return load_extension("_finalised_color", path).subtype(color_type, on_finalise)
