// The Color type inside the module: its type object, its one method table,
// the clamp rule that guards every channel store, creation, and the steps of
// module execution that ready and publish the type.  The record itself,
// VantelColorObject, is the public layout of color.h.
#ifndef VANTEL_COLOR_COLOR_TYPE_H
#define VANTEL_COLOR_COLOR_TYPE_H

#include <Python.h>

#include <cstdint>

#include "color.h"

namespace vantel::color {

extern PyTypeObject ColorType;
extern VantelColorMethodTable color_method_table;

inline VantelColorObject *as_color(PyObject *object) noexcept
{
    return reinterpret_cast<VantelColorObject *>(object);
}

// The clamp rule of every channel store: saturate a 32-bit value to a byte.
// The module applies it directly, never through the method table, so that a
// subtype's own clamp_byte cannot change what the module stores.
constexpr uint8_t clamp_to_byte(int32_t value) noexcept
{
    return value < 0 ? 0 : value > 255 ? 255 : static_cast<uint8_t>(value);
}

// Creation (tp_new): a zero-filled record pointing at the method table.  It
// never looks at the arguments; __init__ does.
PyObject *color_new(PyTypeObject *type, PyObject *args, PyObject *kwds);
// Creation of the exact type, as color_new(&ColorType, ...) without its tests.
PyObject *new_exact_color();

// Module execution: the table is filled before the type is readied, since
// every colour records it when it is created, and then published in the
// type's dictionary for other compiled modules, with the interface version.
void fill_method_table();
int ready_color_type();
int publish_method_table();

}  // namespace vantel::color

#endif
