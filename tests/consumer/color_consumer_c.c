/*
 * _color_consumer_c: a test-only extension in C11 that uses the Color class
 * through color.h alone, as a C module of the package would: it imports the
 * interface when it is executed, reaches the record and the method table
 * directly, and defines FinalisedColor, a subtype of the imported Color with
 * a field of its own and a finaliser.
 */
#include <Python.h>

#include "color.h"

/* Color and its method table live until the process ends, and the colour
   module can only ever be loaded into one interpreter, so one process-wide
   copy of the interface is all a consumer needs. */
static VantelColorAPI color_api;

static VantelColorObject *as_color(PyObject *obj)
{
    if (!VantelColor_Check(&color_api, obj)) {
        PyErr_Format(PyExc_TypeError, "expected a Color, got %T", obj);
        return NULL;
    }
    return (VantelColorObject *)obj;
}

/* clamp_byte(val): the table's clamp rule; self is never read. */
static PyObject *consumer_clamp_byte(PyObject *module, PyObject *arg)
{
    (void)module;
    int value;
    if (!PyArg_Parse(arg, "i", &value)) {
        return NULL;
    }
    return PyLong_FromLong(color_api.methods->clamp_byte(NULL, (int32_t)value));
}

/* new(r, g, b, a): a Color built without argument parsing or __init__. */
static PyObject *consumer_new(PyObject *module, PyObject *args)
{
    (void)module;
    int r, g, b, a;
    if (!PyArg_ParseTuple(args, "iiii:new", &r, &g, &b, &a)) {
        return NULL;
    }
    return color_api.methods->new_(r, g, b, a);
}

/* raw(c): the four bytes of c._raw, in record order. */
static PyObject *consumer_raw(PyObject *module, PyObject *arg)
{
    (void)module;
    const VantelColorObject *color = as_color(arg);
    if (color == NULL) {
        return NULL;
    }
    return PyBytes_FromStringAndSize((const char *)&color->_raw, sizeof color->_raw);
}

/* set_raw(c, r, g, b, a): writes c._raw in place, each value a byte. */
static PyObject *consumer_set_raw(PyObject *module, PyObject *args)
{
    (void)module;
    PyObject *obj;
    unsigned char r, g, b, a;
    if (!PyArg_ParseTuple(args, "Obbbb:set_raw", &obj, &r, &g, &b, &a)) {
        return NULL;
    }
    VantelColorObject *color = as_color(obj);
    if (color == NULL) {
        return NULL;
    }
    color->_raw = (VantelRaylibColor){r, g, b, a};
    Py_RETURN_NONE;
}

/* import_api(): VantelColor_Import() once more, into a fresh structure;
   returns the Color type it hands out, whose reference the caller now owns. */
static PyObject *consumer_import_api(PyObject *module, PyObject *unused)
{
    (void)module;
    (void)unused;
    VantelColorAPI api = {NULL, NULL};
    if (VantelColor_Import(&api) < 0) {
        return NULL;
    }
    return (PyObject *)api.type;
}

/*
 * FinalisedColor: a Color with one field of its own, `resurrect`, and a
 * finaliser.  It inherits creation and destruction from Color, so Color's
 * destruction runs the finaliser; the finaliser counts its calls and, when
 * `resurrect` is set, clears it and keeps the colour alive in `graveyard`.
 */
typedef struct {
    VantelColorObject base;
    char resurrect;
} FinalisedColorObject;

static Py_ssize_t finalised_count;
static PyObject *graveyard; /* a list, made at exec */

static void finalised_color_finalize(PyObject *self)
{
    PyObject *pending = PyErr_GetRaisedException();
    ++finalised_count;
    FinalisedColorObject *color = (FinalisedColorObject *)self;
    if (color->resurrect) {
        color->resurrect = 0;
        if (PyList_Append(graveyard, self) < 0) {
            PyErr_WriteUnraisable(self);
        }
    }
    PyErr_SetRaisedException(pending);
}

static PyMemberDef finalised_color_members[] = {
    {"resurrect", Py_T_BOOL, offsetof(FinalisedColorObject, resurrect), 0, NULL},
    {NULL, 0, 0, 0, NULL},
};

/* tp_base is only known at exec, once Color is imported. */
static PyTypeObject FinalisedColorType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_color_consumer_c.FinalisedColor",
    .tp_basicsize = sizeof(FinalisedColorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_members = finalised_color_members,
    .tp_finalize = finalised_color_finalize,
};

/* finalised_count(): how often a FinalisedColor's finaliser has run. */
static PyObject *consumer_finalised_count(PyObject *module, PyObject *unused)
{
    (void)module;
    (void)unused;
    return PyLong_FromSsize_t(finalised_count);
}

/* A number whose nb_int fails without setting an exception, as a careless
   native type's may. */
static PyObject *silent_int_int(PyObject *self)
{
    (void)self;
    return NULL;
}

static PyNumberMethods silent_int_number = {.nb_int = silent_int_int};

static PyTypeObject SilentIntType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_color_consumer_c.SilentInt",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_as_number = &silent_int_number,
    .tp_new = PyType_GenericNew,
};

static PyMethodDef consumer_methods[] = {
    {"clamp_byte", consumer_clamp_byte, METH_O, NULL},
    {"new", consumer_new, METH_VARARGS, NULL},
    {"raw", consumer_raw, METH_O, NULL},
    {"set_raw", consumer_set_raw, METH_VARARGS, NULL},
    {"import_api", consumer_import_api, METH_NOARGS, NULL},
    {"finalised_count", consumer_finalised_count, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static int ready_finalised_color(void)
{
    /* A second module object (after `del sys.modules[...]`) shares the type
       and the graveyard made the first time. */
    if (graveyard != NULL) {
        return 0;
    }
    FinalisedColorType.tp_base = color_api.type;
    if (PyType_Ready(&FinalisedColorType) < 0) {
        return -1;
    }
    graveyard = PyList_New(0);
    return graveyard == NULL ? -1 : 0;
}

static int consumer_exec(PyObject *module)
{
    if (color_api.type == NULL && VantelColor_Import(&color_api) < 0) {
        return -1;
    }
    if (ready_finalised_color() < 0) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "FinalisedColor", (PyObject *)&FinalisedColorType) < 0 ||
        PyType_Ready(&SilentIntType) < 0 ||
        PyModule_AddObjectRef(module, "SilentInt", (PyObject *)&SilentIntType) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "graveyard", graveyard);
}

static PyModuleDef_Slot consumer_slots[] = {
    {Py_mod_exec, (void *)consumer_exec},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, NULL},
};

static PyModuleDef consumer_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_color_consumer_c",
    .m_methods = consumer_methods,
    .m_slots = consumer_slots,
};

PyMODINIT_FUNC PyInit__color_consumer_c(void)
{
    return PyModuleDef_Init(&consumer_module);
}
