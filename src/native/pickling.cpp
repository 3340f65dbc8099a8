// The pickling refusal.  A colour is raw struct memory that native code reads
// and writes in place, so it is never pickled or copied implicitly: the
// methods __reduce_cython__ and __setstate_cython__ always raise.  At import
// the pickling set-up installs them as the type's __reduce__ and
// __setstate__, and the module binds function objects of the same names.
#include "pickling.h"

#include "code_object.h"
#include "error_messages.h"
#include "function_cast.h"
#include "module_function.h"
#include "process_state.h"
#include "references.h"
#include "traceback_entry.h"

namespace vantel::color {
namespace {

void raise_pickling_refusal()
{
    PyObject *error = PyObject_CallOneArg(PyExc_TypeError, process.constants.pickling_refusal);
    if (error != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error)), error);
        Py_DECREF(error);
    }
}

PyObject *color_reduce_cython(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (nargs > 0) {
        raise_count_error("__reduce_cython__", "exactly", 0, "s", nargs);
        return nullptr;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        raise_unexpected_keyword("__reduce_cython__", PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    raise_pickling_refusal();
    add_traceback_entry(Label::ReduceCython);
    return nullptr;
}

// Binds the one parameter __pyx_state, by position or keyword; the value is
// not needed, only whether the call was well formed.
int bind_setstate_arguments(PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr char name[] = "__setstate_cython__";
    if (nargs > 1) {
        return raise_count_error(name, "exactly", 1, "", nargs);
    }
    bool bound = nargs == 1;
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        PyObject *parameter = process.constants.state_parameter_name;
        if (key != parameter && PyUnicode_Compare(key, parameter) != 0) {
            return raise_unexpected_keyword(name, key);
        }
        if (bound) {
            return raise_multiple_values(name, key);
        }
        bound = true;
    }
    if (!bound) {
        return raise_count_error(name, "exactly", 1, "", nargs);
    }
    return 0;
}

PyObject *color_setstate_cython(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames)
{
    if (bind_setstate_arguments(args, nargs, kwnames) < 0) {
        add_traceback_entry(Label::SetstateArguments);
        return nullptr;
    }
    raise_pickling_refusal();
    add_traceback_entry(Label::SetstateRefusal);
    return nullptr;
}

// True if `object.__name__ == name`; any error counts as false.
bool is_named(PyObject *object, const char *name)
{
    OwnedRef object_name(PyObject_GetAttrString(object, "__name__"));
    OwnedRef expected(object_name ? PyUnicode_FromString(name) : nullptr);
    const int equal = expected ? PyObject_RichCompareBool(object_name.get(), expected.get(), Py_EQ)
                               : -1;
    if (equal < 0) {
        PyErr_Clear();
        return false;
    }
    return equal == 1;
}

// `object`'s own attribute `name`, borrowed; null with an exception
// pending only when the name cannot be made.
PyObject *object_attribute(const char *name)
{
    OwnedRef key(PyUnicode_InternFromString(name));
    return key ? _PyType_Lookup(&PyBaseObject_Type, key.get()) : nullptr;
}

// Moves the method `from` to the key `to` in the type's own dictionary.
int move_method(PyTypeObject *type, PyObject *method, const char *from, const char *to)
{
    if (PyDict_SetItemString(type->tp_dict, to, method) < 0) {
        return -1;
    }
    PyType_Modified(type);
    if (PyDict_DelItemString(type->tp_dict, from) < 0) {
        return -1;
    }
    PyType_Modified(type);
    return 0;
}

int bind_module_function(PyMethodDef &method, const char *qualname, PyObject *code)
{
    OwnedRef qualified_name(PyUnicode_FromString(qualname));
    if (!qualified_name) {
        return -1;
    }
    PyObject *module_dict = process.module_dict;
    OwnedRef function(new_module_function(&method, qualified_name.get(),
                                          process.constants.module_name, module_dict, code));
    return function ? PyDict_SetItemString(module_dict, method.ml_name, function.get()) : -1;
}

}  // namespace

PyMethodDef color_pickling_methods[] = {
    {"__reduce_cython__", VANTEL_COLOR_PYCFUNCTION(color_reduce_cython),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", VANTEL_COLOR_PYCFUNCTION(color_setstate_cython),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int make_pickling_constants()
{
    ProcessState::Constants &constants = process.constants;
    if (make_constant(constants.state_parameter_name,
                      [] { return PyUnicode_InternFromString("__pyx_state"); }) < 0) {
        return -1;
    }
    return make_constant(constants.pickling_refusal, [] {
        return PyUnicode_InternFromString("Pickling of struct members such as self._raw must be "
                                          "explicitly requested with @auto_pickle(True)");
    });
}

int make_pickling_code_objects()
{
    constexpr int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    ProcessState::Constants &constants = process.constants;
    if (make_constant(constants.reduce_cython_code, [] {
            return new_descriptive_code(kStringSource, "__reduce_cython__", "__reduce_cython__", 1,
                                        {"self"}, flags);
        }) < 0) {
        return -1;
    }
    return make_constant(constants.setstate_cython_code, [] {
        return new_descriptive_code(kStringSource, "__setstate_cython__", "__setstate_cython__", 3,
                                    {"self", "__pyx_state"}, flags);
    });
}

int bind_reduce_cython()
{
    return bind_module_function(color_pickling_methods[0], "Color.__reduce_cython__",
                                process.constants.reduce_cython_code);
}

int bind_setstate_cython()
{
    return bind_module_function(color_pickling_methods[1], "Color.__setstate_cython__",
                                process.constants.setstate_cython_code);
}

// Installs __reduce_cython__ and __setstate_cython__ as the type's
// __reduce__ and __setstate__, unless the type customises pickling itself.
// A second run finds its own earlier work and changes nothing.
int run_pickling_setup(PyTypeObject *type)
{
    auto *type_object = reinterpret_cast<PyObject *>(type);
    // A failed lookup of object's attributes must fail the set-up, not pass
    // for "the type customises pickling" and leave the error pending.
    PyObject *object_getstate = object_attribute("__getstate__");
    PyObject *object_reduce_ex = object_getstate ? object_attribute("__reduce_ex__") : nullptr;
    PyObject *object_reduce = object_reduce_ex ? object_attribute("__reduce__") : nullptr;
    if (object_reduce == nullptr) {
        return -1;
    }
    OwnedRef getstate_key(PyUnicode_InternFromString("__getstate__"));
    if (!getstate_key) {
        return -1;
    }
    PyObject *getstate = _PyType_Lookup(type, getstate_key.get());
    if (getstate != nullptr && getstate != object_getstate) {
        return 0;
    }
    OwnedRef reduce_ex(PyObject_GetAttrString(type_object, "__reduce_ex__"));
    if (!reduce_ex) {
        return -1;
    }
    if (reduce_ex.get() != object_reduce_ex) {
        return 0;
    }
    OwnedRef reduce(PyObject_GetAttrString(type_object, "__reduce__"));
    if (!reduce) {
        return -1;
    }
    if (reduce.get() != object_reduce && !is_named(reduce.get(), "__reduce_cython__")) {
        return 0;
    }

    bool failed = false;
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(type_object, "__reduce_cython__", &found) > 0) {
        OwnedRef reduce_cython(found);
        if (move_method(type, reduce_cython.get(), "__reduce_cython__", "__reduce__") < 0) {
            return -1;
        }
    } else {
        failed = reduce.get() == object_reduce || PyErr_Occurred();
    }
    if (!failed) {
        PyObject *setstate = nullptr;
        if (PyObject_GetOptionalAttrString(type_object, "__setstate__", &setstate) < 0) {
            PyErr_Clear();
        }
        OwnedRef setstate_owner(setstate);
        if (setstate == nullptr || is_named(setstate, "__setstate_cython__")) {
            found = nullptr;
            if (PyObject_GetOptionalAttrString(type_object, "__setstate_cython__", &found) > 0) {
                OwnedRef setstate_cython(found);
                if (move_method(type, setstate_cython.get(), "__setstate_cython__",
                                "__setstate__") < 0) {
                    return -1;
                }
            } else {
                failed = setstate == nullptr || PyErr_Occurred();
            }
        }
    }
    if (failed) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                         type->tp_name);
        }
        return -1;
    }
    PyType_Modified(type);
    return 0;
}

}  // namespace vantel::color
