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

    # A Color's _raw read and written whole, by one relaxed atomic access
    # (see _raw below).  color must be a Color; it is not checked.
    VantelRaylibColor VantelColor_LoadRaw(object color) noexcept
    void VantelColor_StoreRaw(object color, VantelRaylibColor raw) noexcept


cdef class Color:
    # The colour itself, read and written in place.  On a free-threaded
    # interpreter the module reads and writes it by relaxed atomic accesses
    # and takes no lock; code that touches _raw of a colour other threads
    # may use at the same time does the same, through VantelColor_LoadRaw
    # and VantelColor_StoreRaw: c._raw.r = 5, or copying c._raw, is a data
    # race there.  With the GIL, or on a colour that no other thread can
    # reach yet (one new() has just returned), plain access is enough.
    cdef VantelRaylibColor _raw

    # The clamp rule: below 0 gives 0, above 255 gives 255, else val.
    # self is not read; the call cannot fail.
    cdef uint8_t clamp_byte(self, int32_t val) noexcept

    # A new exact Color with the four values clamped, without running
    # __init__.
    @staticmethod
    cdef Color new(int32_t r, int32_t g, int32_t b, int32_t a)
