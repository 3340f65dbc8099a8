// Casts between the function pointer types of the C API's method tables.
// A PyMethodDef stores every calling convention as a PyCFunction; going
// through `void (*)(void)` keeps g++'s -Wcast-function-type quiet, which is
// right here: the interpreter calls the function with the signature its
// flags name.
#ifndef VANTEL_COLOR_FUNCTION_CAST_H
#define VANTEL_COLOR_FUNCTION_CAST_H

#include <Python.h>

// A function as the PyCFunction a PyMethodDef stores, and as the `void *` a
// module slot stores.  Macros, not functions: casts written in a static
// table's initialiser leave the table constant-initialised, complete before
// the interpreter or any thread reads it, where a call would make it a
// dynamic initialiser that writes the table when the shared object loads.
#define VANTEL_COLOR_PYCFUNCTION(function) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function))
#define VANTEL_COLOR_SLOT_FUNCTION(function) reinterpret_cast<void *>(function)

namespace vantel::color {

// The stored PyCFunction back as the signature its flags name.
template <class To> To function_cast(PyCFunction function) noexcept
{
    return reinterpret_cast<To>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace vantel::color

#endif
