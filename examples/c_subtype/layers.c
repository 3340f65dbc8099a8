/*
 * layers: two C subtypes of vantel's Color, each a colour with a `name` of
 * its own, made the two ways CPython offers:
 *
 *   - StaticLayer, a static type object, readied once Color is imported;
 *   - Layer, a heap type made by PyType_FromModuleAndSpec.
 *
 * Both inherit Color's creation, which fills in the record's method_table,
 * and its repr, which still says "Color(...)".  Color is not tracked by the
 * cycle collector, and neither subtype is: `name` only ever holds a str,
 * which cannot lead back to the colour.
 */
#include <Python.h>

#include "color.h"

static VantelColorAPI color_api;

/* The record of both subtypes: Color's, then the subtype's own field. */
typedef struct {
    VantelColorObject base;
    PyObject *name; /* a str, or NULL for None */
} LayerObject;

static PyObject *layer_get_name(PyObject *self, void *closure)
{
    (void)closure;
    PyObject *name = ((LayerObject *)self)->name;
    return name != NULL ? Py_NewRef(name) : Py_None;
}

static int layer_set_name(PyObject *self, PyObject *value, void *closure)
{
    (void)closure;
    if (value == NULL || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "name must be a str");
        return -1;
    }
    Py_XSETREF(((LayerObject *)self)->name, Py_NewRef(value));
    return 0;
}

static PyGetSetDef layer_getset[] = {
    {"name", layer_get_name, layer_set_name, "the layer's name, a str", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

/* ---- A static subtype.  Its tp_base is only known at exec, once Color is
   imported.  Its dealloc releases the subtype's field, then lets Color's
   free the object. */

static void static_layer_dealloc(PyObject *self)
{
    Py_CLEAR(((LayerObject *)self)->name);
    color_api.type->tp_dealloc(self);
}

static PyTypeObject StaticLayerType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "layers.StaticLayer",
    .tp_doc = "A Color with a name, as a static type.",
    .tp_basicsize = sizeof(LayerObject),
    .tp_dealloc = static_layer_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_getset = layer_getset,
};

/* ---- A heap subtype.  Each of its instances holds a reference to the type,
   which Color's dealloc, written for a static type, never releases: the
   subtype's dealloc releases it after Color's has freed the object. */

static void layer_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    Py_CLEAR(((LayerObject *)self)->name);
    color_api.type->tp_dealloc(self);
    Py_DECREF(type);
}

static PyType_Slot layer_slots[] = {
    {Py_tp_dealloc, layer_dealloc},
    {Py_tp_getset, layer_getset},
    {Py_tp_doc, "A Color with a name, as a heap type."},
    {0, NULL},
};

static PyType_Spec layer_spec = {
    .name = "layers.Layer",
    .basicsize = sizeof(LayerObject),
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = layer_slots,
};

static int layers_exec(PyObject *module)
{
    if (color_api.type == NULL && VantelColor_Import(&color_api) < 0) {
        return -1;
    }
    StaticLayerType.tp_base = color_api.type;
    if (PyType_Ready(&StaticLayerType) < 0 ||
        PyModule_AddObjectRef(module, "StaticLayer", (PyObject *)&StaticLayerType) < 0) {
        return -1;
    }
    PyObject *layer_type =
        PyType_FromModuleAndSpec(module, &layer_spec, (PyObject *)color_api.type);
    return PyModule_Add(module, "Layer", layer_type);
}

static PyModuleDef_Slot layers_slots[] = {
    {Py_mod_exec, (void *)layers_exec},
    /* vantel.color.color itself loads into one interpreter per process. */
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, NULL},
};

static PyModuleDef layers_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "layers",
    .m_doc = "Example: C subtypes of vantel.color.Color, static and heap.",
    .m_slots = layers_slots,
};

PyMODINIT_FUNC PyInit_layers(void)
{
    return PyModuleDef_Init(&layers_module);
}
