// The slow paths of the channel conversion: see int_conversion.h.
#include "int_conversion.h"

#include <climits>

#include "error_messages.h"
#include "process_state.h"
#include "references.h"

namespace vantel::color {

int32_t raise_int32_overflow()
{
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return -1;
}

namespace detail {

int32_t large_int_to_int32(PyObject *value)
{
#if LONG_MAX >= INT64_MAX
    const long result = PyLong_AsLong(value);
    if (result == -1 && PyErr_Occurred()) {
        return -1;  // beyond 64 bits: the platform's own OverflowError
    }
#else
    // A 32-bit long (Windows, 32-bit systems): long long holds what a
    // 64-bit long does, and beyond that the error is the one a 64-bit long
    // gives.
    const long long result = PyLong_AsLongLong(value);
    if (result == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        }
        return -1;
    }
#endif
    if (result < INT32_MIN || result > INT32_MAX) {
        return raise_int32_overflow();
    }
    return static_cast<int32_t>(result);
}

int32_t non_int_to_int32(PyObject *value)
{
    PyNumberMethods *number_methods = Py_TYPE(value)->tp_as_number;
    if (number_methods == nullptr || number_methods->nb_int == nullptr) {
        if (!PyErr_Occurred()) {
            raise_fixed_message(PyExc_TypeError, process.caches.integer_required);
        }
        return -1;
    }
    OwnedRef result(number_methods->nb_int(value));
    if (!result) {
        if (!PyErr_Occurred()) {
            raise_fixed_message(PyExc_TypeError, process.caches.integer_required);
        }
        return -1;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(result.get())->tp_name);
            return -1;
        }
        // Stack level 1 attributes the warning to the Python line that made
        // the assignment or the call.
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return -1;
        }
    }
    // An integer by now: its stored value decides, with no second __int__.
    return int_to_int32(result.get());
}

}  // namespace detail
}  // namespace vantel::color
