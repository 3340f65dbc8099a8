# shade: a Cython module that works on vantel colours through the color.pxd
# that vantel-color ships, with no Python-level call.

from libc.stdint cimport int32_t, uint8_t

from vantel.color.color cimport Color, VantelColor_CheckVersion

# The cimport checks the size of Color's record; this checks the version of
# its interface, once, at import.
VantelColor_CheckVersion(Color)


def darker(Color color not None):
    """A new Color with r, g and b halved; alpha is kept."""
    return Color.new(color._raw.r // 2, color._raw.g // 2, color._raw.b // 2, color._raw.a)


def clamp_with(Color color not None, int32_t value):
    """value through color's own clamp_byte, a subclass's override included."""
    return color.clamp_byte(value)


cdef class Tinted(Color):
    """A Color whose clamp_byte gives its tint, whatever the value."""

    cdef public unsigned char tint

    cdef uint8_t clamp_byte(self, int32_t val) noexcept:
        return self.tint
