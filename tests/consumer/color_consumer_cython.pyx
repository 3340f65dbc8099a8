# _color_consumer_cython: a test-only Cython module that uses the Color class
# through the installed declaration file, as a Cython module of the package
# would: the cimport reads the method table from Color's "__pyx_vtable__" and
# checks the record's size; VantelColor_CheckVersion checks the version.

from libc.stdint cimport int32_t, uint8_t

from vantel.color.color cimport (
    Color, VANTEL_COLOR_API_VERSION, VantelColor_CheckVersion, VantelColor_LoadRaw,
    VantelColor_StoreRaw, VantelRaylibColor,
)

VantelColor_CheckVersion(Color)

API_VERSION = VANTEL_COLOR_API_VERSION


def clamp_byte(int32_t val):
    """The clamp rule, called through the table of a Color."""
    return clamp_with(Color.new(0, 0, 0, 0), val)


def clamp_with(Color color, int32_t val):
    """color.clamp_byte(val), through the table that color points at."""
    return color.clamp_byte(val)


def new(int32_t r, int32_t g, int32_t b, int32_t a):
    return Color.new(r, g, b, a)


def raw(Color color):
    cdef VantelRaylibColor channels = VantelColor_LoadRaw(color)
    return bytes([channels.r, channels.g, channels.b, channels.a])


def set_raw(Color color, unsigned char r, unsigned char g, unsigned char b, unsigned char a):
    VantelColor_StoreRaw(color, VantelRaylibColor(r, g, b, a))


cdef class Tinted(Color):
    """A Color with a field of its own, whose clamp_byte always gives it."""

    cdef public unsigned char tint

    cdef uint8_t clamp_byte(self, int32_t val) noexcept:
        return self.tint
