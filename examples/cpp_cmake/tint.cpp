// tint: an example extension module that works on vantel colours natively.
//
// It knows vantel.color.Color only through color.h, found with
// vantel.color.get_include().  It reads the channels straight from the
// record's `_raw`, builds colours with the method table's `new_` and writes
// `_raw` in place: no Python-level call on the hot path.  use.py shows
// what each function gives.

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "color.h"

namespace {

// Filled once, when the module is executed.  Color and its method table live
// until the process ends, so a process-wide copy serves every call.
VantelColorAPI color_api = {nullptr, nullptr};

VantelColorObject *as_color(PyObject *object)
{
    if (!VantelColor_Check(&color_api, object)) {
        PyErr_Format(PyExc_TypeError, "expected a Color, got %T", object);
        return nullptr;
    }
    return reinterpret_cast<VantelColorObject *>(object);
}

// One channel times the factor, rounded.  `new_` saturates any 32-bit value
// into 0..255, so only the conversion from double needs a bound.
int32_t scale_channel(unsigned char channel, double factor)
{
    const double product = std::round(channel * factor);
    return static_cast<int32_t>(std::clamp(product, double{INT32_MIN}, double{INT32_MAX}));
}

// scaled(color, factor): a new Color with r, g and b multiplied by factor and
// clamped into 0..255; alpha is kept.
PyObject *scaled(PyObject *, PyObject *args)
{
    PyObject *object;
    double factor;
    if (!PyArg_ParseTuple(args, "Od:scaled", &object, &factor)) {
        return nullptr;
    }
    const VantelColorObject *color = as_color(object);
    if (color == nullptr) {
        return nullptr;
    }
    if (std::isnan(factor)) {
        PyErr_SetString(PyExc_ValueError, "factor must not be NaN");
        return nullptr;
    }
    const VantelRaylibColor raw = color->_raw;
    return color_api.methods->new_(scale_channel(raw.r, factor), scale_channel(raw.g, factor),
                                   scale_channel(raw.b, factor), raw.a);
}

// fade(color, alpha): sets the colour's alpha in place, clamped into 0..255.
PyObject *fade(PyObject *, PyObject *args)
{
    PyObject *object;
    int alpha;
    if (!PyArg_ParseTuple(args, "Oi:fade", &object, &alpha)) {
        return nullptr;
    }
    VantelColorObject *color = as_color(object);
    if (color == nullptr) {
        return nullptr;
    }
    color->_raw.a = color_api.methods->clamp_byte(color, alpha);
    Py_RETURN_NONE;
}

PyMethodDef tint_methods[] = {
    {"scaled", scaled, METH_VARARGS,
     "scaled(color, factor) -> Color\n\n"
     "A new Color with r, g and b multiplied by factor and clamped; alpha is kept."},
    {"fade", fade, METH_VARARGS,
     "fade(color, alpha) -> None\n\nSets the colour's alpha in place, clamped into 0..255."},
    {nullptr, nullptr, 0, nullptr},
};

int tint_exec(PyObject *)
{
    // A repeated import finds the interface already in place.
    if (color_api.type != nullptr) {
        return 0;
    }
    return VantelColor_Import(&color_api);
}

PyModuleDef_Slot tint_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(tint_exec)},
    // vantel.color.color itself loads into one interpreter per process only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef tint_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tint",
    .m_doc = "Example: native operations on vantel.color.Color through color.h.",
    .m_size = 0,
    .m_methods = tint_methods,
    .m_slots = tint_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tint()
{
    return PyModuleDef_Init(&tint_module);
}
