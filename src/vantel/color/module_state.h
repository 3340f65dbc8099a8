// Process-wide state that module execution builds and the rest of the module
// reads.  It is written once at import with the interpreter lock held and
// never released: the module can be loaded into one interpreter only.
#ifndef VANTEL_COLOR_MODULE_STATE_H
#define VANTEL_COLOR_MODULE_STATE_H

#include <Python.h>

#include "color.h"

namespace vantel::color {

// The module's namespace: the globals of every traceback frame it adds.
extern PyObject *module_dict;

// The shared empty tuple handed to creation when no arguments matter.
extern PyObject *empty_tuple;

extern PyTypeObject ColorType;
extern VantelColorMethodTable color_method_table;

// The interpreter's shared ints 0..255, one per byte value, so that reading
// a channel is a table lookup that cannot fail.
extern PyObject *channel_values[256];

inline PyObject *channel_value(uint8_t byte) noexcept
{
    return Py_NewRef(channel_values[byte]);
}

// The clamp rule of every channel store: saturate a 32-bit value to a byte.
constexpr uint8_t clamp_to_byte(int32_t value) noexcept
{
    return value < 0 ? 0 : value > 255 ? 255 : static_cast<uint8_t>(value);
}

}  // namespace vantel::color

#endif
