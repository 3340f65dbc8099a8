// Getters and setters for the attributes that the module's function and
// generator objects share with Python's own: `__name__` and `__qualname__`
// (strings only), `__module__` (anything), and fields that read None once
// they are released.
#ifndef VANTEL_COLOR_OBJECT_ATTRIBUTES_H
#define VANTEL_COLOR_OBJECT_ATTRIBUTES_H

#include <Python.h>

#include "shared_memory.h"

namespace vantel::color::attributes {

inline PyObject *new_ref_or_none(PyObject *value)
{
    return Py_NewRef(value != nullptr ? value : Py_None);
}

// The fields are read and replaced under the object's critical section, so
// that a reader's new reference is taken before a writer in another thread
// releases the old value; the accesses are atomic as well, for the object's
// own code that touches the fields without the section (a generator that is
// made in recycled memory, or that finishes and first looks whether it
// holds any).  With the interpreter lock the section is empty.
inline PyObject *read_field([[maybe_unused]] PyObject *self, PyObject *const *slot)
{
    PyObject *value;
    Py_BEGIN_CRITICAL_SECTION(self);
    value = new_ref_or_none(load_relaxed(*slot));
    Py_END_CRITICAL_SECTION();
    return value;
}

// Stores `value`, a new reference or null, and releases the old value once
// the section is left.
inline void replace_field([[maybe_unused]] PyObject *self, PyObject **slot, PyObject *value)
{
    PyObject *old;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = load_relaxed(*slot);
    store_relaxed(*slot, value);
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
}

inline int set_string(PyObject *self, PyObject **slot, PyObject *value, const char *message)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    replace_field(self, slot, Py_NewRef(value));
    return 0;
}

template <class Object, PyObject *Object::*Field> PyObject *get(PyObject *self, void *)
{
    return read_field(self, &(reinterpret_cast<Object *>(self)->*Field));
}

template <class Object, PyObject *Object::*Field> int set_name(PyObject *self, PyObject *value, void *)
{
    return set_string(self, &(reinterpret_cast<Object *>(self)->*Field), value,
                      "__name__ must be set to a string object");
}

template <class Object, PyObject *Object::*Field>
int set_qualname(PyObject *self, PyObject *value, void *)
{
    return set_string(self, &(reinterpret_cast<Object *>(self)->*Field), value,
                      "__qualname__ must be set to a string object");
}

template <class Object, PyObject *Object::*Field> int set_any(PyObject *self, PyObject *value, void *)
{
    replace_field(self, &(reinterpret_cast<Object *>(self)->*Field), Py_XNewRef(value));
    return 0;
}

}  // namespace vantel::color::attributes

#endif
