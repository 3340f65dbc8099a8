// vantel.color.color: the Color class, a mutable RGBA colour whose whole
// state is raylib's 4-byte Color struct, and the module that publishes it.
//
// This file holds the Color type (creation, __init__, the channel
// properties, the text form, the pickling refusal), its native method table,
// and the module's create and exec functions.  Iteration lives in
// iteration.cpp, the module-level function objects in module_function.cpp.
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "code_object.h"
#include "color.h"
#include "failure_report.h"
#include "int_conversion.h"
#include "iteration.h"
#include "module_function.h"
#include "module_state.h"
#include "owned_ref.h"

// A test build may pretend to have been compiled for another interpreter
// version, to exercise the version check.
#ifndef VANTEL_COLOR_BUILT_FOR_VERSION_HEX
#define VANTEL_COLOR_BUILT_FOR_VERSION_HEX PY_VERSION_HEX
#endif

// Set by a program that embeds the interpreter, before the import, to run the
// module as __main__.
extern "C" {
__attribute__((visibility("default"))) int __pyx_module_is_main_vantel__color__color = 0;
}

namespace vantel::color {

PyObject *module_dict = nullptr;
PyObject *empty_tuple = nullptr;
PyObject *channel_values[256];
VantelColorMethodTable color_method_table;

namespace {

// The process belongs to the first interpreter that creates the module.
int64_t owning_interpreter = -1;
// The one module instance; never released once exec has succeeded.
PyObject *module_instance = nullptr;

// Constant strings, made at exec.
PyObject *parameter_names[4];  // "r", "g", "b", "a"
PyObject *state_parameter_name;  // "__pyx_state"
PyObject *pickling_refusal;
PyObject *module_name_string;

VantelColorObject *as_color(PyObject *object)
{
    return reinterpret_cast<VantelColorObject *>(object);
}

// ---------------------------------------------------------------------------
// The Color method table.

uint8_t clamp_byte(VantelColorObject *, int32_t value)
{
    return clamp_to_byte(value);
}

PyObject *color_tp_new(PyTypeObject *type, PyObject *, PyObject *);

PyObject *new_color(int32_t r, int32_t g, int32_t b, int32_t a)
{
    PyObject *color = color_tp_new(&ColorType, empty_tuple, nullptr);
    if (color == nullptr) {
        add_traceback_entry("vantel.color.color.Color.new", kDeclarationFile, 13);
        return nullptr;
    }
    as_color(color)->_raw = {clamp_to_byte(r), clamp_to_byte(g), clamp_to_byte(b), clamp_to_byte(a)};
    return color;
}

// ---------------------------------------------------------------------------
// Creation and destruction.

// Creation never looks at the arguments: __init__ does.
PyObject *color_tp_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *object;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) [[unlikely]] {
        // object.__new__ refuses abstract classes with its own message.
        object = PyBaseObject_Type.tp_new(type, empty_tuple, nullptr);
    } else {
        object = type->tp_alloc(type, 0);
    }
    if (object == nullptr) {
        return nullptr;
    }
    as_color(object)->method_table = &color_method_table;
    return object;
}

void color_tp_dealloc(PyObject *object)
{
    PyTypeObject *type = Py_TYPE(object);
    // Only a subclass can bring a finaliser (__del__).  A garbage-collected
    // subclass has usually run it already; otherwise it runs here and may
    // resurrect the object.
    if (type->tp_finalize != nullptr) [[unlikely]] {
        const bool finalized =
            PyType_IS_GC(type) && PyObject_GC_IsFinalized(object);
        if (!finalized && type->tp_dealloc == color_tp_dealloc &&
            PyObject_CallFinalizerFromDealloc(object) < 0) {
            return;
        }
    }
    type->tp_free(object);
}

// ---------------------------------------------------------------------------
// __init__(r, g, b, a=255)

constexpr char kInitName[] = "__init__";
constexpr int kInitLine = 3;

int raise_count_error(const char *function, const char *bound_word, Py_ssize_t bound,
                      const char *plural, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function, bound_word, bound, plural, given);
    return -1;
}

bool same_string(PyObject *left, PyObject *right)
{
    return left == right || PyUnicode_Compare(left, right) == 0;
}

// Keyword arguments as tp_init receives them: a dictionary.
class DictKeywords {
public:
    explicit DictKeywords(PyObject *dict) : dict_(dict) {}
    Py_ssize_t size() const { return dict_ != nullptr ? PyDict_GET_SIZE(dict_) : 0; }
    int validate() const { return PyArg_ValidateKeywordArguments(dict_) ? 0 : -1; }
    // Visits (key, value) in the dictionary's order while `visit` returns true.
    template <class Visit> void for_each(Visit visit) const
    {
        Py_ssize_t position = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(dict_, &position, &key, &value)) {
            if (!visit(key, value)) {
                return;
            }
        }
    }

private:
    PyObject *dict_;
};

// Keyword arguments as a vectorcall receives them: names, and their values
// after the positional ones.
class VectorKeywords {
public:
    VectorKeywords(PyObject *names, PyObject *const *values) : names_(names), values_(values) {}
    Py_ssize_t size() const { return names_ != nullptr ? PyTuple_GET_SIZE(names_) : 0; }
    int validate() const
    {
        for (Py_ssize_t i = 0; i < size(); ++i) {
            if (!PyUnicode_Check(PyTuple_GET_ITEM(names_, i))) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return -1;
            }
        }
        return 0;
    }
    template <class Visit> void for_each(Visit visit) const
    {
        for (Py_ssize_t i = 0; i < size(); ++i) {
            if (!visit(PyTuple_GET_ITEM(names_, i), values_[i])) {
                return;
            }
        }
    }

private:
    PyObject *names_;
    PyObject *const *values_;
};

// The position of the parameter a keyword names, or -1.  Keywords compare
// by their text, so a str subclass names a parameter like a str.
int parameter_index(PyObject *key)
{
    for (int i = 0; i < 4; ++i) {
        if (key == parameter_names[i]) {
            return i;
        }
    }
    for (int i = 0; i < 4; ++i) {
        if (PyUnicode_Compare(key, parameter_names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// Matches the arguments to r, g, b and a; `slots` receives the objects, null
// for an omitted a: borrowed references without keywords, new references
// (to be released by the caller, whatever the outcome) with keywords, since
// an __int__ that runs later may change a keyword dictionary.
template <class Keywords>
int bind_init_arguments(PyObject *const *args, Py_ssize_t nargs, const Keywords &keywords,
                        PyObject *slots[4])
{
    if (keywords.size() == 0) [[likely]] {
        if (nargs < 3) {
            return raise_count_error(kInitName, "at least", 3, "s", nargs);
        }
        if (nargs > 4) {
            return raise_count_error(kInitName, "at most", 4, "s", nargs);
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            slots[i] = args[i];
        }
        return 0;
    }
    if (nargs > 4) {
        return raise_count_error(kInitName, "at most", 4, "s", nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = Py_NewRef(args[i]);
    }
    if (keywords.validate() < 0) {
        return -1;
    }
    // In the caller's order, the first keyword that names no parameter still
    // open decides the error.
    bool failed = false;
    keywords.for_each([&](PyObject *key, PyObject *value) {
        const int index = parameter_index(key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         kInitName, key);
        } else if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         kInitName, key);
        } else {
            slots[index] = Py_NewRef(value);
            return true;
        }
        failed = true;
        return false;
    });
    if (failed) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < 3; ++i) {
        if (slots[i] == nullptr) {
            return raise_count_error(kInitName, "at least", 3, "s", i);
        }
    }
    return 0;
}

// Converts every given argument, in parameter order, before anything is
// stored; then stores all four channels in one write.  An argument's
// __int__ may run arbitrary code, even on this colour: the store comes last.
int convert_and_store(VantelColorObject *self, PyObject *const slots[4])
{
    int32_t values[4] = {0, 0, 0, 255};
    for (int i = 0; i < 4; ++i) {
        if (slots[i] == nullptr) {
            continue;  // an omitted a keeps its default
        }
        values[i] = object_to_int(slots[i]);
        if (values[i] == -1 && PyErr_Occurred()) {
            return -1;
        }
    }
    self->_raw = {clamp_to_byte(values[0]), clamp_to_byte(values[1]), clamp_to_byte(values[2]),
                  clamp_to_byte(values[3])};
    return 0;
}

template <class Keywords>
int initialise(PyObject *self, PyObject *const *args, Py_ssize_t nargs, const Keywords &keywords)
{
    // Decided once: an __int__ may empty a keyword dictionary meanwhile.
    const bool slots_owned = keywords.size() > 0;
    PyObject *slots[4] = {nullptr, nullptr, nullptr, nullptr};
    int result = bind_init_arguments(args, nargs, keywords, slots);
    if (result == 0) {
        result = convert_and_store(as_color(self), slots);
    }
    if (slots_owned) {
        for (PyObject *slot : slots) {
            Py_XDECREF(slot);
        }
    }
    if (result < 0) {
        add_traceback_entry("vantel.color.color.Color.__init__", kImplementationFile, kInitLine);
    }
    return result;
}

int color_tp_init(PyObject *self, PyObject *args, PyObject *kwds)
{
    return initialise(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                      DictKeywords(kwds));
}

// Calls `type` the generic way, through type.__call__.
PyObject *call_type_generically(PyObject *type, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames)
{
    OwnedRef positional(PyTuple_New(nargs));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    }
    OwnedRef keywords;
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keyword_count > 0) {
        keywords.reset(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < keyword_count; ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    return PyType_Type.tp_call(type, positional.get(), keywords.get());
}

// Color(...) without building an argument tuple: creation and __init__ as
// type.__call__ runs them, with the same results and errors.  Subclasses
// take the generic route.
PyObject *color_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames)
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (type != reinterpret_cast<PyObject *>(&ColorType)) [[unlikely]] {
        return call_type_generically(type, args, nargs, kwnames);
    }
    PyObject *self = color_tp_new(&ColorType, empty_tuple, nullptr);
    if (self == nullptr) {
        return nullptr;
    }
    if (initialise(self, args, nargs, VectorKeywords(kwnames, args + nargs)) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

// ---------------------------------------------------------------------------
// The channel properties: a short and a long name per channel, sharing its
// byte.  A read cannot fail; each write names itself in its traceback entry.

struct ChannelProperty {
    unsigned char VantelRaylibColor::*channel;
    const char *setter_name;
    int setter_line;
};

constexpr ChannelProperty kChannelProperties[] = {
    {&VantelRaylibColor::r, "vantel.color.color.Color.r.__set__", 26},
    {&VantelRaylibColor::g, "vantel.color.color.Color.g.__set__", 34},
    {&VantelRaylibColor::b, "vantel.color.color.Color.b.__set__", 42},
    {&VantelRaylibColor::a, "vantel.color.color.Color.a.__set__", 50},
    {&VantelRaylibColor::r, "vantel.color.color.Color.red.__set__", 59},
    {&VantelRaylibColor::g, "vantel.color.color.Color.green.__set__", 67},
    {&VantelRaylibColor::b, "vantel.color.color.Color.blue.__set__", 75},
    {&VantelRaylibColor::a, "vantel.color.color.Color.alpha.__set__", 83},
};

template <int Property> PyObject *get_channel(PyObject *self, void *)
{
    return channel_value(as_color(self)->_raw.*kChannelProperties[Property].channel);
}

template <int Property> int set_channel(PyObject *self, PyObject *value, void *)
{
    constexpr const ChannelProperty &property = kChannelProperties[Property];
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    const int32_t converted = object_to_int(value);
    if (converted == -1 && PyErr_Occurred()) {
        add_traceback_entry(property.setter_name, kImplementationFile, property.setter_line);
        return -1;
    }
    as_color(self)->_raw.*property.channel = clamp_to_byte(converted);
    return 0;
}

template <int Property> constexpr PyGetSetDef channel_getset(const char *name)
{
    return {name, get_channel<Property>, set_channel<Property>, nullptr, nullptr};
}

PyGetSetDef color_getset[] = {
    channel_getset<0>("r"),     channel_getset<1>("g"),    channel_getset<2>("b"),
    channel_getset<3>("a"),     channel_getset<4>("red"),  channel_getset<5>("green"),
    channel_getset<6>("blue"),  channel_getset<7>("alpha"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// The text form: "Color(r, g, b, a)", built in place in one allocation.

char *append_text(char *out, const char *text)
{
    const size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    return out + length;
}

char *append_decimal(char *out, unsigned value)
{
    if (value >= 100) {
        *out++ = static_cast<char>('0' + value / 100);
    }
    if (value >= 10) {
        *out++ = static_cast<char>('0' + value / 10 % 10);
    }
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

PyObject *color_repr(PyObject *self)
{
    // All four channels are read before anything else happens, so the text
    // is one consistent state of the colour.
    const VantelRaylibColor channels = as_color(self)->_raw;
    char buffer[sizeof("Color(255, 255, 255, 255)")];
    char *end = append_text(buffer, "Color(");
    end = append_decimal(end, channels.r);
    end = append_text(end, ", ");
    end = append_decimal(end, channels.g);
    end = append_text(end, ", ");
    end = append_decimal(end, channels.b);
    end = append_text(end, ", ");
    end = append_decimal(end, channels.a);
    end = append_text(end, ")");
    const Py_ssize_t length = end - buffer;
    PyObject *text = PyUnicode_New(length, 127);
    if (text == nullptr) {
        add_traceback_entry("vantel.color.color.Color.__repr__", kImplementationFile, 12);
        return nullptr;
    }
    std::memcpy(PyUnicode_1BYTE_DATA(text), buffer, static_cast<size_t>(length));
    return text;
}

// ---------------------------------------------------------------------------
// Pickling refusal.  A colour carries raw struct memory, which is never
// pickled implicitly; both methods always raise.

void raise_pickling_refusal()
{
    PyObject *error = PyObject_CallOneArg(PyExc_TypeError, pickling_refusal);
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
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     "__reduce_cython__", PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    raise_pickling_refusal();
    add_traceback_entry("vantel.color.color.Color.__reduce_cython__", kStringSource, 2);
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
        if (!same_string(key, state_parameter_name)) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
            return -1;
        }
        if (bound) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name, key);
            return -1;
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
        add_traceback_entry("vantel.color.color.Color.__setstate_cython__", kStringSource, 3);
        return nullptr;
    }
    raise_pickling_refusal();
    add_traceback_entry("vantel.color.color.Color.__setstate_cython__", kStringSource, 4);
    return nullptr;
}

template <auto Function> constexpr PyCFunction as_pycfunction()
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Function));
}

PyMethodDef color_methods[] = {
    {"__reduce_cython__", as_pycfunction<color_reduce_cython>(), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"__setstate_cython__", as_pycfunction<color_setstate_cython>(),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef &reduce_cython_method = color_methods[0];
PyMethodDef &setstate_cython_method = color_methods[1];

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

// Installs __reduce_cython__ and __setstate_cython__ as the type's
// __reduce__ and __setstate__, unless the type customises pickling itself.
// A second run finds its own earlier work and changes nothing.
int run_pickling_setup(PyTypeObject *type)
{
    auto *type_object = reinterpret_cast<PyObject *>(type);
    OwnedRef getstate_key(PyUnicode_InternFromString("__getstate__"));
    if (!getstate_key) {
        return -1;
    }
    PyObject *getstate = _PyType_Lookup(type, getstate_key.get());
    if (getstate != nullptr && getstate != object_attribute("__getstate__")) {
        return 0;
    }
    OwnedRef reduce_ex(PyObject_GetAttrString(type_object, "__reduce_ex__"));
    if (!reduce_ex) {
        return -1;
    }
    if (reduce_ex.get() != object_attribute("__reduce_ex__")) {
        return 0;
    }
    OwnedRef reduce(PyObject_GetAttrString(type_object, "__reduce__"));
    if (!reduce) {
        return -1;
    }
    PyObject *object_reduce = object_attribute("__reduce__");
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

}  // namespace

// ---------------------------------------------------------------------------
// The type object.

PyTypeObject ColorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vantel.color.color.Color",
    .tp_basicsize = sizeof(VantelColorObject),
    .tp_itemsize = 0,
    .tp_dealloc = color_tp_dealloc,
    .tp_repr = color_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_iter = new_color_iterator,
    .tp_methods = color_methods,
    .tp_getset = color_getset,
    .tp_init = color_tp_init,
    .tp_new = color_tp_new,
    .tp_vectorcall = color_vectorcall,
};

namespace {

// ---------------------------------------------------------------------------
// Module creation and execution.

int copy_spec_attribute(PyObject *spec, PyObject *module_namespace, const char *attribute,
                        const char *key, bool copy_none)
{
    PyObject *value = nullptr;
    const int found = PyObject_GetOptionalAttrString(spec, attribute, &value);
    if (found <= 0) {
        return found;  // absent: skipped; -1: the lookup's error
    }
    OwnedRef owner(value);
    if (value == Py_None && !copy_none) {
        return 0;
    }
    return PyDict_SetItemString(module_namespace, key, value);
}

PyObject *color_module_create(PyObject *spec, PyModuleDef *)
{
    const int64_t interpreter =
        PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (interpreter == -1) {
        return nullptr;
    }
    if (owning_interpreter == -1) {
        owning_interpreter = interpreter;
    } else if (owning_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_instance != nullptr) {
        return Py_NewRef(module_instance);
    }
    OwnedRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    OwnedRef module(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *module_namespace = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, module_namespace, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, module_namespace, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, module_namespace, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, module_namespace, "submodule_search_locations", "__path__",
                            false) < 0) {
        return nullptr;
    }
    return module.release();
}

int set_builtins(PyObject *module)
{
    OwnedRef builtins(PyImport_AddModuleRef("builtins"));
    return builtins ? PyObject_SetAttrString(module, "__builtins__", builtins.get()) : -1;
}

// Warns when the running interpreter's major.minor differs from the one the
// module was built for; a filter may turn the warning into an error.
int check_interpreter_version()
{
    constexpr unsigned long built = VANTEL_COLOR_BUILT_FOR_VERSION_HEX;
    const unsigned long running = Py_Version;
    if ((running >> 16) == (built >> 16)) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  static_cast<int>((built >> 24) & 0xFF), static_cast<int>((built >> 16) & 0xFF),
                  "vantel.color.color", "does not match",
                  static_cast<int>(running >> 24), static_cast<int>((running >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1);
}

int set_constant(PyObject *&slot, PyObject *value)
{
    Py_XSETREF(slot, value);
    return value != nullptr ? 0 : -1;
}

int make_constants()
{
    constexpr const char *channel_parameters[] = {"r", "g", "b", "a"};
    for (int i = 0; i < 4; ++i) {
        if (set_constant(parameter_names[i], PyUnicode_InternFromString(channel_parameters[i])) < 0) {
            return -1;
        }
    }
    for (int value = 0; value < 256; ++value) {
        if (set_constant(channel_values[value], PyLong_FromLong(value)) < 0) {
            return -1;
        }
    }
    if (set_constant(empty_tuple, PyTuple_New(0)) < 0 ||
        set_constant(state_parameter_name, PyUnicode_InternFromString("__pyx_state")) < 0 ||
        set_constant(module_name_string, PyUnicode_InternFromString("vantel.color.color")) < 0 ||
        set_constant(pickling_refusal,
                     PyUnicode_InternFromString("Pickling of struct members such as self._raw "
                                                "must be explicitly requested with "
                                                "@auto_pickle(True)")) < 0) {
        return -1;
    }
    return make_iteration_constants();
}

int ready_support_types()
{
    if (PyType_Ready(&ModuleFunctionType) < 0) {
        return -1;
    }
    return ready_generator_type();
}

// The key the module is registered under, whatever name it was loaded as.
constexpr char kRegistrationKey[] = "vantel.color.color";
// Whether the running exec made that registration.
bool registered_by_exec = false;

int register_module(PyObject *module)
{
    if (__pyx_module_is_main_vantel__color__color != 0) {
        OwnedRef main_name(PyUnicode_FromString("__main__"));
        if (!main_name || PyObject_SetAttrString(module, "__name__", main_name.get()) < 0) {
            return -1;
        }
    }
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, kRegistrationKey) != nullptr) {
        return 0;  // an entry already there, whatever it holds, stays
    }
    if (PyDict_SetItemString(modules, kRegistrationKey, module) < 0) {
        return -1;
    }
    registered_by_exec = true;
    return 0;
}

PyObject *reduce_cython_code = nullptr;
PyObject *setstate_cython_code = nullptr;

int make_code_objects()
{
    if (make_iteration_code_object() < 0) {
        return -1;
    }
    constexpr int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (set_constant(reduce_cython_code,
                     new_descriptive_code(kStringSource, "__reduce_cython__", "__reduce_cython__",
                                          1, {"self"}, flags)) < 0) {
        return -1;
    }
    return set_constant(setstate_cython_code,
                        new_descriptive_code(kStringSource, "__setstate_cython__",
                                             "__setstate_cython__", 3,
                                             {"self", "__pyx_state"}, flags));
}

void fill_method_table()
{
    color_method_table.clamp_byte = clamp_byte;
    color_method_table.new_ = new_color;
}

int publish_method_table()
{
    OwnedRef capsule(PyCapsule_New(&color_method_table, nullptr, nullptr));
    if (!capsule) {
        return -1;
    }
    OwnedRef key(PyUnicode_InternFromString("__pyx_vtable__"));
    return key ? PyDict_SetItem(ColorType.tp_dict, key.get(), capsule.get()) : -1;
}

int bind_module_function(PyMethodDef &method, const char *qualname, PyObject *code)
{
    OwnedRef qualified_name(PyUnicode_FromString(qualname));
    if (!qualified_name) {
        return -1;
    }
    OwnedRef function(new_module_function(&method, qualified_name.get(), module_name_string,
                                          module_dict, code));
    return function ? PyDict_SetItemString(module_dict, method.ml_name, function.get()) : -1;
}

int bind_test_dict()
{
    OwnedRef tests(PyDict_New());
    return tests ? PyDict_SetItemString(module_dict, "__test__", tests.get()) : -1;
}

int set_color(PyObject *module)
{
    return PyObject_SetAttrString(module, "Color", reinterpret_cast<PyObject *>(&ColorType));
}

// The steps of module execution after the module reference is taken, by
// their number; a failing step leaves its exception pending.
using ExecStep = int (*)(PyObject *module);
constexpr int kFirstExecStep = 3;
constexpr ExecStep kExecSteps[] = {
    /* 3 */ set_builtins,
    /* 4 */ [](PyObject *) { return check_interpreter_version(); },
    /* 5 */ [](PyObject *) { return make_constants(); },
    /* 6 */ [](PyObject *) { return ready_support_types(); },
    /* 7 */ register_module,
    /* 8 */ [](PyObject *) { return make_code_objects(); },
    // Every colour records the table when it is created: fill it first.
    /* 9 */ [](PyObject *) { fill_method_table(); return 0; },
    /* 10 */ [](PyObject *) { return PyType_Ready(&ColorType); },
    /* 11 */ [](PyObject *) { return publish_method_table(); },
    /* 12 */ set_color,
    /* 13 */ [](PyObject *) { return run_pickling_setup(&ColorType); },
    /* 14 */ [](PyObject *) { return ready_iteration_record_type(); },
    /* 15 */ [](PyObject *) {
        return bind_module_function(reduce_cython_method, "Color.__reduce_cython__",
                                    reduce_cython_code);
    },
    /* 16 */ [](PyObject *) {
        return bind_module_function(setstate_cython_method, "Color.__setstate_cython__",
                                    setstate_cython_code);
    },
    /* 17 */ [](PyObject *) { return bind_test_dict(); },
};

#ifdef VANTEL_COLOR_TEST_HOOKS
// Test builds only: the environment variable VANTEL_COLOR_FAIL_EXEC_STEP
// names an exec step that fails with RuntimeError, to exercise the failure
// path of every step.
bool fail_on_purpose(int step)
{
    const char *chosen = std::getenv("VANTEL_COLOR_FAIL_EXEC_STEP");
    if (chosen == nullptr || std::atoi(chosen) != step) {
        return false;
    }
    PyErr_Format(PyExc_RuntimeError, "exec step %d failed on purpose", step);
    return true;
}
#else
constexpr bool fail_on_purpose(int) { return false; }
#endif

// Runs the steps in order.  Returns 0, or the number of the step that failed.
int run_exec_steps(PyObject *module)
{
    int step = kFirstExecStep;
    for (ExecStep run_step : kExecSteps) {
        if (fail_on_purpose(step) || run_step(module) < 0) {
            return step;
        }
        ++step;
    }
    return 0;
}

// A failed exec takes back its registration under the fixed key, so that a
// later import of vantel.color.color cannot find the half-made module.  (The
// import system does the same for the name it imports.)
void unregister_module(PyObject *module)
{
    if (!registered_by_exec) {
        return;
    }
    registered_by_exec = false;
    PyObject *pending = PyErr_GetRaisedException();
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, kRegistrationKey) == module &&
        PyDict_DelItemString(modules, kRegistrationKey) < 0) {
        PyErr_Clear();  // the exec failure is what the caller must see
    }
    PyErr_SetRaisedException(pending);
}

int color_module_exec(PyObject *module)
{
    if (module_instance != nullptr) {
        if (module_instance == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'color' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    module_instance = Py_NewRef(module);
    Py_XSETREF(module_dict, Py_NewRef(PyModule_GetDict(module)));

    const int failed_step = run_exec_steps(module);
    if (failed_step == 0) {
        registered_by_exec = false;
        return 0;
    }
    // Failures from the support types on get an entry: the two module-level
    // functions report their own source, everything else the module's.
    if (failed_step == 15) {
        add_traceback_entry("init vantel.color.color", kStringSource, 1);
    } else if (failed_step == 16) {
        add_traceback_entry("init vantel.color.color", kStringSource, 3);
    } else if (failed_step >= 6) {
        add_traceback_entry("init vantel.color.color", kImplementationFile, 1);
    }
    unregister_module(module);
    // A later import starts afresh with a new module object; every step is
    // safe to repeat on the process-wide types.
    Py_CLEAR(module_instance);
    return -1;
}

PyMethodDef module_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(color_module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(color_module_exec)},
    {0, nullptr},
};

PyModuleDef color_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "color",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vantel::color

PyMODINIT_FUNC PyInit_color(void)
{
    return PyModuleDef_Init(&vantel::color::color_module);
}
