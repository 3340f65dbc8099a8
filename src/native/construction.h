// Construction: __init__(r, g, b, a=255), reached through tp_init and, for
// Color(...) itself, through the type's vectorcall entry, which binds the
// arguments without building a tuple or a dictionary.  Both match the
// arguments to the four parameters, convert every one before anything is
// stored, clamp, and store the four channels in one write.
#ifndef VANTEL_COLOR_CONSTRUCTION_H
#define VANTEL_COLOR_CONSTRUCTION_H

#include <Python.h>

namespace vantel::color {

// The type's tp_init and tp_vectorcall.
int color_init(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *color_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames);

// Module execution: the parameter names that keywords are matched against.
int make_construction_constants();

}  // namespace vantel::color

#endif
