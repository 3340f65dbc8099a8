// _color_consumer: a test-only extension that uses the Color class through its
// native interface, exactly as another compiled module of the package does.
//
// It includes nothing but <Python.h> and color.h (from
// vantel.color.get_include()), imports the interface once when the module is
// executed, and then reaches the record and the method table directly.

#include <Python.h>

#include "color.h"

namespace {

// Color and its method table live until the process ends, and the colour
// module can only ever be loaded into one interpreter, so one process-wide
// copy of the interface is all a consumer needs.
VantelColorAPI color_api = {nullptr, nullptr};

VantelColorObject *as_color(PyObject *obj)
{
    if (!VantelColor_Check(&color_api, obj)) {
        PyErr_Format(PyExc_TypeError, "expected a Color, got %T", obj);
        return nullptr;
    }
    return reinterpret_cast<VantelColorObject *>(obj);
}

int parse_byte(int value, const char *channel, unsigned char *out)
{
    if (value < 0 || value > 255) {
        PyErr_Format(PyExc_ValueError, "%s must be in 0..255, got %d", channel, value);
        return -1;
    }
    *out = static_cast<unsigned char>(value);
    return 0;
}

// clamp_byte(val): the table's clamp rule; self is never read.
PyObject *consumer_clamp_byte(PyObject *, PyObject *arg)
{
    int value;
    if (!PyArg_Parse(arg, "i", &value)) {
        return nullptr;
    }
    return PyLong_FromLong(color_api.methods->clamp_byte(nullptr, static_cast<int32_t>(value)));
}

// new(r, g, b, a): a Color built without argument parsing or __init__.
PyObject *consumer_new(PyObject *, PyObject *args)
{
    int r, g, b, a;
    if (!PyArg_ParseTuple(args, "iiii:new", &r, &g, &b, &a)) {
        return nullptr;
    }
    return color_api.methods->new_(r, g, b, a);
}

// raw(c): the four bytes of c._raw, in record order.
PyObject *consumer_raw(PyObject *, PyObject *arg)
{
    VantelColorObject *color = as_color(arg);
    if (color == nullptr) {
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(&color->_raw),
                                     sizeof color->_raw);
}

// set_raw(c, r, g, b, a): writes c._raw in place.
PyObject *consumer_set_raw(PyObject *, PyObject *args)
{
    PyObject *obj;
    int r, g, b, a;
    if (!PyArg_ParseTuple(args, "Oiiii:set_raw", &obj, &r, &g, &b, &a)) {
        return nullptr;
    }
    VantelColorObject *color = as_color(obj);
    if (color == nullptr) {
        return nullptr;
    }
    VantelRaylibColor raw;
    if (parse_byte(r, "r", &raw.r) < 0 || parse_byte(g, "g", &raw.g) < 0 ||
        parse_byte(b, "b", &raw.b) < 0 || parse_byte(a, "a", &raw.a) < 0) {
        return nullptr;
    }
    color->_raw = raw;
    Py_RETURN_NONE;
}

// method_table_is_shared(c): whether c points at the table that was imported.
PyObject *consumer_method_table_is_shared(PyObject *, PyObject *arg)
{
    VantelColorObject *color = as_color(arg);
    if (color == nullptr) {
        return nullptr;
    }
    return PyBool_FromLong(color->method_table == color_api.methods);
}

// capsule_pointer(name): PyCapsule_GetPointer on Color's own __pyx_vtable__,
// with a null name for None.
PyObject *consumer_capsule_pointer(PyObject *, PyObject *arg)
{
    const char *name = nullptr;
    if (arg != Py_None) {
        name = PyUnicode_AsUTF8(arg);
        if (name == nullptr) {
            return nullptr;
        }
    }
    PyObject *type_dict = PyType_GetDict(color_api.type);
    PyObject *capsule = nullptr;
    int found = PyDict_GetItemStringRef(type_dict, "__pyx_vtable__", &capsule);
    Py_DECREF(type_dict);
    if (found <= 0) {
        if (found == 0) {
            PyErr_SetString(PyExc_KeyError, "__pyx_vtable__");
        }
        return nullptr;
    }
    void *pointer = PyCapsule_GetPointer(capsule, name);
    Py_DECREF(capsule);
    if (pointer == nullptr) {
        return nullptr;
    }
    return PyLong_FromVoidPtr(pointer);
}

// table_address(): the address of the imported method table.
PyObject *consumer_table_address(PyObject *, PyObject *)
{
    return PyLong_FromVoidPtr(const_cast<VantelColorMethodTable *>(color_api.methods));
}

Py_ssize_t parse_count(PyObject *arg)
{
    Py_ssize_t count = PyLong_AsSsize_t(arg);
    if (count < 0 && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, "count must not be negative");
    }
    return count;
}

// new_many(n): builds and drops n colours through the table's new.
PyObject *consumer_new_many(PyObject *, PyObject *arg)
{
    Py_ssize_t count = parse_count(arg);
    if (count < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        int32_t value = static_cast<int32_t>(i & 0xff);
        PyObject *color = color_api.methods->new_(value, value, value, 255);
        if (color == nullptr) {
            return nullptr;
        }
        Py_DECREF(color);
    }
    Py_RETURN_NONE;
}

// call_type_many(n): builds and drops n colours by calling Color(r, g, b, a).
PyObject *consumer_call_type_many(PyObject *, PyObject *arg)
{
    Py_ssize_t count = parse_count(arg);
    if (count < 0) {
        return nullptr;
    }
    // Small integers are cached by the interpreter, so these cannot fail.
    PyObject *channels[4] = {PyLong_FromLong(10), PyLong_FromLong(20), PyLong_FromLong(30),
                             PyLong_FromLong(255)};
    PyObject *result = Py_None;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *color = PyObject_Vectorcall(reinterpret_cast<PyObject *>(color_api.type),
                                              channels, 4, nullptr);
        if (color == nullptr) {
            result = nullptr;
            break;
        }
        Py_DECREF(color);
    }
    for (PyObject *channel : channels) {
        Py_DECREF(channel);
    }
    return Py_XNewRef(result);
}

// call_function_many(n): builds and drops n colours with
// PyObject_CallFunction(Color, "iiii", ...), which builds an argument tuple
// from a format for every call.
PyObject *consumer_call_function_many(PyObject *, PyObject *arg)
{
    Py_ssize_t count = parse_count(arg);
    if (count < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *color = PyObject_CallFunction(reinterpret_cast<PyObject *>(color_api.type),
                                                "iiii", 10, 20, 30, 255);
        if (color == nullptr) {
            return nullptr;
        }
        Py_DECREF(color);
    }
    Py_RETURN_NONE;
}

PyMethodDef consumer_methods[] = {
    {"clamp_byte", consumer_clamp_byte, METH_O, nullptr},
    {"new", consumer_new, METH_VARARGS, nullptr},
    {"raw", consumer_raw, METH_O, nullptr},
    {"set_raw", consumer_set_raw, METH_VARARGS, nullptr},
    {"method_table_is_shared", consumer_method_table_is_shared, METH_O, nullptr},
    {"capsule_pointer", consumer_capsule_pointer, METH_O, nullptr},
    {"table_address", consumer_table_address, METH_NOARGS, nullptr},
    {"new_many", consumer_new_many, METH_O, nullptr},
    {"call_type_many", consumer_call_type_many, METH_O, nullptr},
    {"call_function_many", consumer_call_function_many, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int consumer_exec(PyObject *)
{
    // A second module object (after `del sys.modules[...]`) keeps the
    // interface imported the first time.
    if (color_api.type != nullptr) {
        return 0;
    }
    return VantelColor_Import(&color_api);
}

PyModuleDef_Slot consumer_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(consumer_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef consumer_module = {
    PyModuleDef_HEAD_INIT,
    "_color_consumer",
    nullptr,
    0,
    consumer_methods,
    consumer_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__color_consumer()
{
    return PyModuleDef_Init(&consumer_module);
}
