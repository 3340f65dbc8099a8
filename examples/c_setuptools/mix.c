/*
 * mix: a C extension module that works on vantel colours through color.h.
 * It reads the channels from a record's `_raw`, builds colours with the
 * method table's `new_` and writes `_raw` in place, with no Python-level
 * call.
 */
#include <Python.h>

#include "color.h"

/* Filled once, when the module is executed.  Color and its method table live
   until the process ends, so a process-wide copy serves every call. */
static VantelColorAPI color_api;

/* The record of `object`, or NULL with TypeError if it is not a Color. */
static VantelColorObject *as_color(PyObject *object)
{
    if (!VantelColor_Check(&color_api, object)) {
        PyErr_Format(PyExc_TypeError, "expected a Color, got %T", object);
        return NULL;
    }
    return (VantelColorObject *)object;
}

/* mix(first, second): a new Color halfway between the two, channel by
   channel.  Returns a new reference, or NULL with an exception set. */
static PyObject *mix(PyObject *module, PyObject *args)
{
    (void)module;
    PyObject *first_object, *second_object;
    if (!PyArg_ParseTuple(args, "OO:mix", &first_object, &second_object)) {
        return NULL;
    }
    const VantelColorObject *first = as_color(first_object);
    if (first == NULL) {
        return NULL;
    }
    const VantelColorObject *second = as_color(second_object);
    if (second == NULL) {
        return NULL;
    }
    const VantelRaylibColor x = first->_raw, y = second->_raw;
    return color_api.methods->new_((x.r + y.r) / 2, (x.g + y.g) / 2, (x.b + y.b) / 2,
                                   (x.a + y.a) / 2);
}

/* set_alpha(color, alpha): stores alpha in place, clamped into 0..255. */
static PyObject *set_alpha(PyObject *module, PyObject *args)
{
    (void)module;
    PyObject *object;
    int alpha;
    if (!PyArg_ParseTuple(args, "Oi:set_alpha", &object, &alpha)) {
        return NULL;
    }
    VantelColorObject *color = as_color(object);
    if (color == NULL) {
        return NULL;
    }
    color->_raw.a = color_api.methods->clamp_byte(color, alpha);
    Py_RETURN_NONE;
}

static PyMethodDef mix_methods[] = {
    {"mix", mix, METH_VARARGS, "mix(first, second) -> Color halfway between the two"},
    {"set_alpha", set_alpha, METH_VARARGS, "set_alpha(color, alpha) -> None, clamped"},
    {NULL, NULL, 0, NULL},
};

static int mix_exec(PyObject *module)
{
    (void)module;
    /* A repeated import finds the interface already in place. */
    return color_api.type != NULL ? 0 : VantelColor_Import(&color_api);
}

static PyModuleDef_Slot mix_slots[] = {
    {Py_mod_exec, (void *)mix_exec},
    /* vantel.color.color itself loads into one interpreter per process. */
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, NULL},
};

static PyModuleDef mix_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "mix",
    .m_doc = "Example: native operations on vantel.color.Color from C.",
    .m_methods = mix_methods,
    .m_slots = mix_slots,
};

PyMODINIT_FUNC PyInit_mix(void)
{
    return PyModuleDef_Init(&mix_module);
}
