// Code objects that describe a function of the module (name, file, first
// line, parameters) for introspection, such as a generator's gi_code.  They
// are never executed.
#ifndef VANTEL_COLOR_CODE_OBJECT_H
#define VANTEL_COLOR_CODE_OBJECT_H

#include <Python.h>

#include <initializer_list>

namespace vantel::color {

// A new code object whose positional parameters are `parameters`, or null
// with an exception set.
PyObject *new_descriptive_code(const char *file, const char *name, const char *qualname,
                               int first_line, std::initializer_list<const char *> parameters,
                               int flags);

}  // namespace vantel::color

#endif
