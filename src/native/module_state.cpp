// Process-wide state: see module_state.h.
#include "module_state.h"

#include "shared_memory.h"

namespace vantel::color {

PyObject *module_dict = nullptr;
PyObject *empty_tuple = nullptr;
PyObject *module_name = nullptr;
PyObject *channel_values[256];

void set_module_dict(PyObject *dict)
{
    if (load_published(module_dict) != dict) {
        // The reference held for the namespace replaced is never released.
        store_published(module_dict, Py_NewRef(dict));
    }
}

int make_shared_constants()
{
    for (int value = 0; value < 256; ++value) {
        if (make_constant(channel_values[value], [value] { return PyLong_FromLong(value); }) < 0) {
            return -1;
        }
    }
    if (make_constant(empty_tuple, [] { return PyTuple_New(0); }) < 0) {
        return -1;
    }
    return make_constant(module_name,
                         [] { return PyUnicode_InternFromString("vantel.color.color"); });
}

}  // namespace vantel::color
