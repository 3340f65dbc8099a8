// Conversion of a Python value to the 32-bit integer that a channel store
// clamps.  `int` and its subclasses are read from the object itself without
// calling any Python method; anything else goes through its type's
// `nb_int` (a class's `__int__`) and nothing else: no `__index__`, no parsing.
//
// Failure is -1 with an exception pending.  -1 is also an ordinary value, so
// callers test PyErr_Occurred() only when they see -1.
#ifndef VANTEL_COLOR_INT_CONVERSION_H
#define VANTEL_COLOR_INT_CONVERSION_H

#include <Python.h>

#include <cstdint>

namespace vantel::color {

namespace detail {
int32_t large_int_to_int32(PyObject *value);
int32_t non_int_to_int32(PyObject *value);
}  // namespace detail

// Raises OverflowError for an integer that fits 64 bits but not 32.
int32_t raise_int32_overflow();

// Reads an `int` (or subclass).  A compact one (below 2**30 in magnitude) is
// read straight from its digit; one of two 30-bit digits, enough for every
// 32-bit value, is assembled in place; a longer one is out of range and takes
// the slow path, which raises the OverflowError of its size.
inline int32_t int_to_int32(PyObject *value)
{
    auto *number = reinterpret_cast<PyLongObject *>(value);
    if (_PyLong_IsCompact(number)) {
        // Below 2**30 in magnitude: always within 32 bits.
        return static_cast<int32_t>(_PyLong_CompactValue(number));
    }
    const uintptr_t tag = number->long_value.lv_tag;
    if ((tag >> _PyLong_NON_SIZE_BITS) == 2) {
        static_assert(PyLong_SHIFT == 30, "two digits hold 60 bits");
        const digit *digits = number->long_value.ob_digit;
        const int64_t magnitude =
            static_cast<int64_t>(digits[0]) | (static_cast<int64_t>(digits[1]) << PyLong_SHIFT);
        const bool negative = (tag & _PyLong_SIGN_MASK) == 2;
        const int64_t result = negative ? -magnitude : magnitude;
        if (result < INT32_MIN || result > INT32_MAX) {
            return raise_int32_overflow();
        }
        return static_cast<int32_t>(result);
    }
    return detail::large_int_to_int32(value);
}

inline int32_t object_to_int(PyObject *value)
{
    if (PyLong_Check(value)) [[likely]] {
        return int_to_int32(value);
    }
    return detail::non_int_to_int32(value);
}

}  // namespace vantel::color

#endif
