// Casts between the function pointer types of the C API's method tables.
// A PyMethodDef stores every calling convention as a PyCFunction; going
// through `void (*)(void)` keeps g++'s -Wcast-function-type quiet, which is
// right here: the interpreter calls the function with the signature its
// flags name.
#ifndef VANTEL_COLOR_FUNCTION_CAST_H
#define VANTEL_COLOR_FUNCTION_CAST_H

#include <Python.h>

namespace vantel::color {

template <class To, class From> To function_cast(From function) noexcept
{
    return reinterpret_cast<To>(reinterpret_cast<void (*)(void)>(function));
}

// `Function` as the PyCFunction a PyMethodDef stores.
template <auto Function> PyCFunction as_pycfunction() noexcept
{
    return function_cast<PyCFunction>(Function);
}

}  // namespace vantel::color

#endif
