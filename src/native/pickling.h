// The pickling refusal of Color, its set-up at import, and the module-level
// functions __reduce_cython__ and __setstate_cython__.
#ifndef VANTEL_COLOR_PICKLING_H
#define VANTEL_COLOR_PICKLING_H

#include <Python.h>

namespace vantel::color {

// Color's tp_methods: __reduce_cython__, then __setstate_cython__.
extern PyMethodDef color_pickling_methods[];

// Module execution, in its order: the constant strings, the code objects of
// the module-level functions, the set-up that installs the methods as
// __reduce__ and __setstate__ of `type`, and the binding of each function in
// the module's namespace.
int make_pickling_constants();
int make_pickling_code_objects();
int run_pickling_setup(PyTypeObject *type);
int bind_reduce_cython();
int bind_setstate_cython();

}  // namespace vantel::color

#endif
