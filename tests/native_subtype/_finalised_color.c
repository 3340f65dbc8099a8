/* _finalised_color: a test-only extension with a static subtype of Color,
 * as a compiled module of the package would write it: it leaves tp_dealloc
 * to be inherited from Color and brings a tp_finalize of its own, which
 * calls the Python callable given to subtype().
 */
#include <Python.h>

static PyObject *on_finalise;

static void finalised_finalize(PyObject *self)
{
    PyObject *pending = PyErr_GetRaisedException();
    PyObject *result = PyObject_CallOneArg(on_finalise, self);
    if (result == NULL) {
        PyErr_WriteUnraisable(self);
    }
    Py_XDECREF(result);
    PyErr_SetRaisedException(pending);
}

static PyTypeObject FinalisedType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_finalised_color.Finalised",
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_finalize = finalised_finalize,
};

/* subtype(Color, on_finalise) -> the subtype, readied once. */
static PyObject *finalised_subtype(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2 || !PyType_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "subtype(Color, on_finalise)");
        return NULL;
    }
    Py_XSETREF(on_finalise, Py_NewRef(args[1]));
    if (FinalisedType.tp_base == NULL) {
        FinalisedType.tp_base = (PyTypeObject *)Py_NewRef(args[0]);
        if (PyType_Ready(&FinalisedType) < 0) {
            return NULL;
        }
    }
    return Py_NewRef((PyObject *)&FinalisedType);
}

static PyMethodDef finalised_methods[] = {
    {"subtype", (PyCFunction)(void (*)(void))finalised_subtype, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef finalised_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_finalised_color",
    .m_size = -1,
    .m_methods = finalised_methods,
};

PyMODINIT_FUNC PyInit__finalised_color(void)
{
    return PyModule_Create(&finalised_module);
}
