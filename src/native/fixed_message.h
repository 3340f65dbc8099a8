// Exceptions whose message never changes, raised without building it anew.
// Setting an error from a C string decodes the text into a str, packs it
// into an argument tuple and drops both again each time; a fixed message
// keeps its argument tuple from its first use on, and every raise hands
// that same tuple to the exception class.  The exception comes out as the
// one that PyErr_SetString would raise, chained to the exception being
// handled in the same way.
#ifndef VANTEL_COLOR_FIXED_MESSAGE_H
#define VANTEL_COLOR_FIXED_MESSAGE_H

#include <Python.h>

namespace vantel::color {

struct FixedMessage {
    const char *text;
    PyObject *arguments = nullptr;  // (text,), made on first use and kept
};

// Raises `type` with `message`; if the message or the exception cannot be
// made, that failure's exception is pending instead.
void raise_fixed_message(PyObject *type, FixedMessage &message);

// Raises `type` called with the argument tuple `arguments`, as above.
void raise_with_arguments(PyObject *type, PyObject *arguments);

}  // namespace vantel::color

#endif
