// Process-wide state: see module_state.h.
#include "module_state.h"

namespace vantel::color {

PyObject *module_dict = nullptr;
PyObject *empty_tuple = nullptr;
PyObject *module_name = nullptr;
PyObject *channel_values[256];

int make_shared_constants()
{
    for (int value = 0; value < 256; ++value) {
        if (set_constant(channel_values[value], PyLong_FromLong(value)) < 0) {
            return -1;
        }
    }
    if (set_constant(empty_tuple, PyTuple_New(0)) < 0) {
        return -1;
    }
    return set_constant(module_name, PyUnicode_InternFromString("vantel.color.color"));
}

}  // namespace vantel::color
