// The exceptions the module raises with messages of its own making: the
// TypeErrors of arguments that do not bind to a function's parameters, in
// the interpreter's own wording, and messages that never change, raised
// without building them anew.
//
// Setting an error from a C string decodes the text into a str, packs it
// into an argument tuple and drops both again each time; a kept message
// keeps its argument tuple from its first use on, and every raise hands that
// same tuple to the exception class.  The exception comes out as the one
// that PyErr_SetString would raise, chained to the exception being handled
// in the same way.
#ifndef VANTEL_COLOR_ERROR_MESSAGES_H
#define VANTEL_COLOR_ERROR_MESSAGES_H

#include <Python.h>

namespace vantel::color {

// ---------------------------------------------------------------------------
// Messages that never change.

struct FixedMessage {
    const char *text;
    PyObject *arguments = nullptr;  // (text,), made on first use and kept
};

// Raises `type` with `message`; if the message or the exception cannot be
// made, that failure's exception is pending instead.
void raise_fixed_message(PyObject *type, FixedMessage &message);

// Raises `type` called with the argument tuple `arguments`, as above.
void raise_with_arguments(PyObject *type, PyObject *arguments);

// ---------------------------------------------------------------------------
// Arguments that do not bind.  Each returns -1 with the error set.

// "f() takes at least 3 positional arguments (2 given)": `bound_word` is
// "at least", "at most" or "exactly"; `plural` the ending of "argument".
int raise_count_error(const char *function, const char *bound_word, Py_ssize_t bound,
                      const char *plural, Py_ssize_t given);

// The same error for a call that keeps failing with the same counts: its
// argument tuple is formatted into `kept` on first use, and every later
// raise reuses it, as a fixed message does.  One `kept` per message.
int raise_kept_count_error(PyObject *&kept, const char *function, const char *bound_word,
                           Py_ssize_t bound, const char *plural, Py_ssize_t given);

// "f() got an unexpected keyword argument 'x'"
int raise_unexpected_keyword(const char *function, PyObject *key);

// "f() got multiple values for keyword argument 'x'"
int raise_multiple_values(const char *function, PyObject *key);

}  // namespace vantel::color

#endif
