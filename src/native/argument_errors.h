// The TypeErrors of arguments that do not bind to a function's parameters,
// in the interpreter's own wording.  Each returns -1 with the error set.
#ifndef VANTEL_COLOR_ARGUMENT_ERRORS_H
#define VANTEL_COLOR_ARGUMENT_ERRORS_H

#include <Python.h>

namespace vantel::color {

// "f() takes at least 3 positional arguments (2 given)": `bound_word` is
// "at least", "at most" or "exactly"; `plural` the ending of "argument".
int raise_count_error(const char *function, const char *bound_word, Py_ssize_t bound,
                      const char *plural, Py_ssize_t given);

// The same error for a call that keeps failing with the same counts: its
// argument tuple is formatted into `kept` on first use, and every later
// raise reuses it (see fixed_message.h).  One `kept` per message.
int raise_kept_count_error(PyObject *&kept, const char *function, const char *bound_word,
                           Py_ssize_t bound, const char *plural, Py_ssize_t given);

// "f() got an unexpected keyword argument 'x'"
int raise_unexpected_keyword(const char *function, PyObject *key);

// "f() got multiple values for keyword argument 'x'"
int raise_multiple_values(const char *function, PyObject *key);

}  // namespace vantel::color

#endif
