// The module's process-wide state: see process_state.h.
#include "process_state.h"

#include "shared_memory.h"

namespace vantel::color {

constinit ProcessState process{};

int make_shared_constants()
{
    ProcessState::Constants &constants = process.constants;
    for (int value = 0; value < 256; ++value) {
        if (make_constant(constants.channel_values[value],
                          [value] { return PyLong_FromLong(value); }) < 0) {
            return -1;
        }
    }
    if (make_constant(constants.empty_tuple, [] { return PyTuple_New(0); }) < 0) {
        return -1;
    }
    return make_constant(constants.module_name,
                         [] { return PyUnicode_InternFromString("vantel.color.color"); });
}

void set_module_dict(PyObject *dict)
{
    if (load_published(process.module_dict) != dict) {
        // The reference held for the namespace replaced is never released.
        store_published(process.module_dict, Py_NewRef(dict));
    }
}

}  // namespace vantel::color
