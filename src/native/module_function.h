// The function type behind the module-level `__reduce_cython__` and
// `__setstate_cython__`: a callable that takes its first positional argument
// as the instance and hands everything else to a fast-call method of Color.
#ifndef VANTEL_COLOR_MODULE_FUNCTION_H
#define VANTEL_COLOR_MODULE_FUNCTION_H

#include <Python.h>

namespace vantel::color {

extern PyTypeObject ModuleFunctionType;

// A new function object for `method` (METH_FASTCALL | METH_KEYWORDS), or null
// with an exception set.  `method` must outlive the function.
PyObject *new_module_function(PyMethodDef *method, PyObject *qualname, PyObject *module_name,
                              PyObject *globals, PyObject *code);

}  // namespace vantel::color

#endif
