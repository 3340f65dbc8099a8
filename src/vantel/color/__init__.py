"""Colours for vantel: the Color class and its C API.

``Color`` is a mutable RGBA colour backed by raylib's 4-byte ``Color`` struct.
Compiled modules reach the struct and the class's native functions through
the header ``color.h``; :func:`get_include` tells a build where it is.
"""

from pathlib import Path

from .color import Color

__all__ = ["Color", "get_include"]


def get_include() -> str:
    """Return the directory that holds ``color.h``, for a compiler's ``-I``."""
    return str(Path(__file__).resolve().parent)
