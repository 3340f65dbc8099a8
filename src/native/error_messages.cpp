// The module's own exception messages: see error_messages.h.
#include "error_messages.h"

namespace vantel::color {

namespace {

constexpr char kCountFormat[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";

}  // namespace

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

int raise_count_error(const char *function, const char *bound_word, Py_ssize_t bound,
                      const char *plural, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, kCountFormat, function, bound_word, bound, plural, given);
    return -1;
}

int raise_kept_count_error(PyObject *&kept, const char *function, const char *bound_word,
                           Py_ssize_t bound, const char *plural, Py_ssize_t given)
{
    if (kept == nullptr) {
        kept = Py_BuildValue("(N)", PyUnicode_FromFormat(kCountFormat, function, bound_word, bound,
                                                         plural, given));
        if (kept == nullptr) {
            return -1;
        }
    }
    raise_with_arguments(PyExc_TypeError, kept);
    return -1;
}

int raise_unexpected_keyword(const char *function, PyObject *key)
{
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
    return -1;
}

int raise_multiple_values(const char *function, PyObject *key)
{
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function,
                 key);
    return -1;
}

}  // namespace vantel::color
