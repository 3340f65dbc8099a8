# Cython declarations of vantel.color.color: the Color record and its method
# table, for Cython modules that build and read colours natively.
#
#     from vantel.color.color cimport Color
#
# Cython finds this file through the installed package on sys.path; the C
# compiler needs vantel.color.get_include() for color.h.  At import the
# cimporting module reads the table from Color's "__pyx_vtable__" and checks
# the record's size; VantelColor_CheckVersion(Color) checks the interface
# version as well.
#
# The record's field and the table's entries are declared in the order of
# color.h, which is a binary contract: they never change.

from libc.stdint cimport int32_t, uint8_t

cdef extern from "color.h":
    enum: VANTEL_COLOR_API_VERSION

    # The four channels, laid out as raylib's Color.
    ctypedef struct VantelRaylibColor:
        unsigned char r
        unsigned char g
        unsigned char b
        unsigned char a

    # 0 if the module implements at least VANTEL_COLOR_API_VERSION, else
    # ImportError.
    int VantelColor_CheckVersion(type color_type) except -1


cdef class Color:
    # The colour itself, read and written in place.
    cdef VantelRaylibColor _raw

    # The clamp rule: below 0 gives 0, above 255 gives 255, else val.
    # self is not read; the call cannot fail.
    cdef uint8_t clamp_byte(self, int32_t val) noexcept

    # A new exact Color with the four values clamped, without running
    # __init__.
    @staticmethod
    cdef Color new(int32_t r, int32_t g, int32_t b, int32_t a)
