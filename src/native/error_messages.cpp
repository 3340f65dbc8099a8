// The module's own exception messages: see error_messages.h.
#include "error_messages.h"

#include "shared_memory.h"

namespace vantel::color {

namespace {

constexpr char kCountFormat[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";

// The first use, out of line: the raises that follow pay nothing for it.
[[gnu::noinline]] PyObject *make_fixed_arguments(FixedMessage &message)
{
    PyObject *arguments = Py_BuildValue("(s)", message.text);
    return arguments != nullptr ? publish_once(message.arguments, arguments) : nullptr;
}

}  // namespace

// The kept argument tuples are published once, as shared_memory.h says:
// threads that raise a message at once for the first time may each build
// one, and all but one of them drop theirs.
void raise_fixed_message(PyObject *type, FixedMessage &message)
{
    PyObject *arguments = load_published(message.arguments);
    if (arguments == nullptr) {
        arguments = make_fixed_arguments(message);
        if (arguments == nullptr) {
            return;
        }
    }
    raise_with_arguments(type, arguments);
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
    PyObject *arguments = load_published(kept);
    if (arguments == nullptr) {
        arguments = Py_BuildValue("(N)", PyUnicode_FromFormat(kCountFormat, function, bound_word,
                                                              bound, plural, given));
        if (arguments == nullptr) {
            return -1;
        }
        arguments = publish_once(kept, arguments);
    }
    raise_with_arguments(PyExc_TypeError, arguments);
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
