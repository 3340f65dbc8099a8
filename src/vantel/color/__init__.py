"""Colours for vantel: the Color class and its C API.

``Color`` is a mutable RGBA colour backed by raylib's 4-byte ``Color`` struct.
Compiled modules reach the struct and the class's native functions through
the header ``color.h``; :func:`get_include` tells a build where it is.
"""

from .color import Color

__all__ = ["Color", "get_include"]

# The one place the version is written: the build reads it from here into the
# distribution's metadata.
__version__ = "0.1.0"


def get_include() -> str:
    """Return the directory that holds ``color.h``, for a compiler's ``-I``."""
    # Imported here so that the package namespace holds only its own names.
    import os.path

    return os.path.dirname(os.path.realpath(__file__))
