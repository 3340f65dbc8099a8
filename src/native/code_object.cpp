// Descriptive code objects: see code_object.h.
#include "code_object.h"

#include "process_state.h"
#include "references.h"

namespace vantel::color {

PyObject *new_descriptive_code(const char *file, const char *name, const char *qualname,
                               int first_line, std::initializer_list<const char *> parameters,
                               int flags)
{
    // The interpreter's empty code object is valid bytecode for every
    // version; replace() then gives it the signature and names.
    OwnedRef empty(reinterpret_cast<PyObject *>(PyCode_NewEmpty(file, name, first_line)));
    if (!empty) {
        return nullptr;
    }
    const auto count = static_cast<Py_ssize_t>(parameters.size());
    OwnedRef varnames(PyTuple_New(count));
    if (!varnames) {
        return nullptr;
    }
    Py_ssize_t index = 0;
    for (const char *parameter : parameters) {
        PyObject *parameter_name = PyUnicode_InternFromString(parameter);
        if (parameter_name == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(varnames.get(), index++, parameter_name);
    }
    OwnedRef replace(PyObject_GetAttrString(empty.get(), "replace"));
    OwnedRef qualified_name(PyUnicode_FromString(qualname));
    OwnedRef changes(PyDict_New());
    if (!replace || !qualified_name || !changes) {
        return nullptr;
    }
    const struct {
        const char *field;
        PyObject *value;
    } fields[] = {
        {"co_argcount", PyLong_FromSsize_t(count)},
        {"co_nlocals", PyLong_FromSsize_t(count)},
        {"co_flags", PyLong_FromLong(flags)},
        {"co_varnames", Py_NewRef(varnames.get())},
        {"co_qualname", Py_NewRef(qualified_name.get())},
    };
    bool failed = false;
    for (const auto &field : fields) {
        OwnedRef value(field.value);
        failed = failed || !value || PyDict_SetItemString(changes.get(), field.field, value.get()) < 0;
    }
    if (failed) {
        return nullptr;
    }
    return PyObject_Call(replace.get(), process.constants.empty_tuple, changes.get());
}

}  // namespace vantel::color
