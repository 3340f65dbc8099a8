// Getters and setters for the attributes that the module's function and
// generator objects share with Python's own: `__name__` and `__qualname__`
// (strings only), `__module__` (anything), and fields that read None once
// they are released.
#ifndef VANTEL_COLOR_OBJECT_ATTRIBUTES_H
#define VANTEL_COLOR_OBJECT_ATTRIBUTES_H

#include <Python.h>

namespace vantel::color::attributes {

inline PyObject *new_ref_or_none(PyObject *value)
{
    return Py_NewRef(value != nullptr ? value : Py_None);
}

inline int set_string(PyObject **slot, PyObject *value, const char *message)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

template <class Object, PyObject *Object::*Field> PyObject *get(PyObject *self, void *)
{
    return new_ref_or_none(reinterpret_cast<Object *>(self)->*Field);
}

template <class Object, PyObject *Object::*Field> int set_name(PyObject *self, PyObject *value, void *)
{
    return set_string(&(reinterpret_cast<Object *>(self)->*Field), value,
                      "__name__ must be set to a string object");
}

template <class Object, PyObject *Object::*Field>
int set_qualname(PyObject *self, PyObject *value, void *)
{
    return set_string(&(reinterpret_cast<Object *>(self)->*Field), value,
                      "__qualname__ must be set to a string object");
}

template <class Object, PyObject *Object::*Field> int set_any(PyObject *self, PyObject *value, void *)
{
    Py_XSETREF(reinterpret_cast<Object *>(self)->*Field, Py_XNewRef(value));
    return 0;
}

}  // namespace vantel::color::attributes

#endif
