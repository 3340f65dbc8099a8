// Fixed exception messages: see fixed_message.h.
#include "fixed_message.h"

namespace vantel::color {

void raise_fixed_message(PyObject *type, FixedMessage &message)
{
    if (message.arguments == nullptr) {
        message.arguments = Py_BuildValue("(s)", message.text);
        if (message.arguments == nullptr) {
            return;
        }
    }
    raise_with_arguments(type, message.arguments);
}

void raise_with_arguments(PyObject *type, PyObject *arguments)
{
    PyObject *exception = PyObject_Call(type, arguments, nullptr);
    if (exception == nullptr) {
        return;
    }
    PyErr_SetObject(type, exception);
    Py_DECREF(exception);
}

}  // namespace vantel::color
