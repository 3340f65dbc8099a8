// Process-wide state that module execution builds and the rest of the module
// reads.  It is written at import with the interpreter lock held and never
// released: the module can be loaded into one interpreter only.
#ifndef VANTEL_COLOR_MODULE_STATE_H
#define VANTEL_COLOR_MODULE_STATE_H

#include <Python.h>

#include <cstdint>

namespace vantel::color {

// The module's namespace: the globals of every traceback frame it adds.
extern PyObject *module_dict;

// The shared empty tuple handed to creation when no arguments matter.
extern PyObject *empty_tuple;

// "vantel.color.color", the `__module__` of the module's functions and
// generators.
extern PyObject *module_name;

// The interpreter's shared ints 0..255, one per byte value, so that reading
// a channel is a table lookup that cannot fail.
extern PyObject *channel_values[256];

inline PyObject *channel_value(uint8_t byte) noexcept
{
    return Py_NewRef(channel_values[byte]);
}

// Stores `value`, a new reference or null after a failed call, in a
// constant's slot; returns 0, or -1 when it is null.  A failed call leaves
// the slot as it was: an exec retried after a failure remakes the constants
// while objects of the earlier attempt (a reachable Color) still use them.
inline int set_constant(PyObject *&slot, PyObject *value) noexcept
{
    if (value == nullptr) {
        return -1;
    }
    Py_XSETREF(slot, value);
    return 0;
}

// Makes the state above, at module execution.
int make_shared_constants();

}  // namespace vantel::color

#endif
