// Iteration over a Color: the iteration slot returns a generator (see
// generator.h) whose body yields the channels r, g, b and a, each read from
// the colour when it is produced.  The generator's reference to the colour
// lives in a small garbage-collected record, recycled through a free list.
#ifndef VANTEL_COLOR_ITERATION_H
#define VANTEL_COLOR_ITERATION_H

#include <Python.h>

namespace vantel::color {

// Module execution, in its order: the constant names of the generator, the
// code object it reports as gi_code, and the record type.
int make_iteration_constants();
int make_iteration_code_object();
int ready_iteration_record_type();

// The iteration slot of Color.
PyObject *new_color_iterator(PyObject *color);

}  // namespace vantel::color

#endif
