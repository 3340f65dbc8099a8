// The Color type object and its slots: creation and destruction, the eight
// channel properties, the text form, and the two native functions of its
// method table.  Construction (__init__) lives in construction.cpp, iteration
// in iteration.cpp and the pickling refusal in pickling.cpp.
#include "color_type.h"

#include <cstring>

#include "construction.h"
#include "int_conversion.h"
#include "iteration.h"
#include "process_state.h"
#include "pickling.h"
#include "references.h"
#include "traceback_entry.h"

namespace vantel::color {

VantelColorMethodTable color_method_table;

namespace {

// ---------------------------------------------------------------------------
// The Color method table.

uint8_t clamp_byte(VantelColorObject *, int32_t value)
{
    return clamp_to_byte(value);
}

PyObject *new_color(int32_t r, int32_t g, int32_t b, int32_t a)
{
    PyObject *color = new_exact_color();
    if (color == nullptr) {
        add_traceback_entry(Label::ColorNew);
        return nullptr;
    }
    store_channels(as_color(color),
                   {clamp_to_byte(r), clamp_to_byte(g), clamp_to_byte(b), clamp_to_byte(a)});
    return color;
}

// ---------------------------------------------------------------------------
// Destruction.

void color_dealloc(PyObject *object);

// A subclass's instance: only a subclass can bring a finaliser (__del__).
// A garbage-collected subclass has usually run it already; otherwise it runs
// here and may resurrect the object.
[[gnu::noinline]] void subclass_dealloc(PyObject *object, PyTypeObject *type)
{
    if (type->tp_finalize != nullptr) [[unlikely]] {
        const bool finalized = PyType_IS_GC(type) && PyObject_GC_IsFinalized(object);
        if (!finalized && type->tp_dealloc == color_dealloc &&
            PyObject_CallFinalizerFromDealloc(object) < 0) {
            return;
        }
    }
    type->tp_free(object);
}

void color_dealloc(PyObject *object)
{
    PyTypeObject *type = Py_TYPE(object);
    if (type != &ColorType) [[unlikely]] {
        subclass_dealloc(object, type);
    } else {
        type->tp_free(object);
    }
}

// ---------------------------------------------------------------------------
// The channel properties: a short and a long name per channel, sharing its
// byte.  A read cannot fail; each write names itself in its traceback entry.

// The channel each property stores, in the order of the type's properties;
// the write of property i names itself by the i-th channel-write label.
constexpr ChannelMember kPropertyChannels[] = {
    &VantelRaylibColor::r, &VantelRaylibColor::g, &VantelRaylibColor::b, &VantelRaylibColor::a,
    &VantelRaylibColor::r, &VantelRaylibColor::g, &VantelRaylibColor::b, &VantelRaylibColor::a,
};

template <int Property> PyObject *get_channel(PyObject *self, void *)
{
    return channel_value(load_channel(as_color(self), kPropertyChannels[Property]));
}

template <int Property> int set_channel(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    const int32_t converted = object_to_int(value);
    if (converted == -1 && PyErr_Occurred()) {
        add_traceback_entry(nth_label(Label::SetR, Property));
        return -1;
    }
    store_channel(as_color(self), kPropertyChannels[Property], clamp_to_byte(converted));
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
    // All four channels are read at once, before anything else happens, so
    // the text is one consistent state of the colour, also while other
    // threads write it.
    const VantelRaylibColor channels = load_channels(as_color(self));
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
        add_traceback_entry(Label::ColorRepr);
        return nullptr;
    }
    std::memcpy(PyUnicode_1BYTE_DATA(text), buffer, static_cast<size_t>(length));
    return text;
}

}  // namespace

// Creation never looks at the arguments: __init__ does.
PyObject *color_new(PyTypeObject *type, PyObject *, PyObject *)
{
    if (type == &ColorType) [[likely]] {
        return new_exact_color();
    }
    PyObject *object;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) [[unlikely]] {
        // object.__new__ refuses abstract classes with its own message.
        object = PyBaseObject_Type.tp_new(type, process.constants.empty_tuple, nullptr);
    } else {
        object = type->tp_alloc(type, 0);
    }
    if (object == nullptr) {
        return nullptr;
    }
    const VantelColorMethodTable *table = &color_method_table;
    store_relaxed(as_color(object)->method_table, table);
    return object;
}

// What the generic allocator does for the exact type, which has no items,
// no collector tracking and a static type object (no reference to take):
// one allocation, the record, and the object header last, so that the call
// that makes the memory an object is the last one.
PyObject *new_exact_color(VantelRaylibColor channels)
{
    auto *color = static_cast<VantelColorObject *>(PyObject_Malloc(sizeof(VantelColorObject)));
    if (color == nullptr) {
        return PyErr_NoMemory();
    }
    const VantelColorMethodTable *table = &color_method_table;
    store_relaxed(color->method_table, table);
    store_channels(color, channels);
    return PyObject_Init(reinterpret_cast<PyObject *>(color), &ColorType);
}

// PyType_Ready puts what follows the text signature in tp_doc, nothing here,
// into the type's dictionary as '' rather than None; the type has no
// docstring, so __doc__ reads None there too, as on the type and instances.
int ready_color_type()
{
    if (PyType_Ready(&ColorType) < 0 ||
        PyDict_SetItemString(ColorType.tp_dict, "__doc__", Py_None) < 0) {
        return -1;
    }
    PyType_Modified(&ColorType);
    return 0;
}

// Filled by the first exec only: an exec retried after a failure may find
// colours of the failed attempt that other threads use through the table.
void fill_method_table()
{
    if (color_method_table.clamp_byte == nullptr) {
        color_method_table.clamp_byte = clamp_byte;
        color_method_table.new_ = new_color;
    }
}

int publish_method_table()
{
    OwnedRef capsule(PyCapsule_New(&color_method_table, nullptr, nullptr));
    if (!capsule) {
        return -1;
    }
    OwnedRef key(PyUnicode_InternFromString("__pyx_vtable__"));
    if (!key || PyDict_SetItem(ColorType.tp_dict, key.get(), capsule.get()) < 0) {
        return -1;
    }
    // Beside the table, the interface version this module implements, which
    // VantelColor_Import() checks against the header its caller was built with.
    OwnedRef version(PyLong_FromLong(VANTEL_COLOR_API_VERSION));
    return version ? PyDict_SetItemString(ColorType.tp_dict, VANTEL_COLOR_API_VERSION_KEY,
                                          version.get())
                   : -1;
}

// The text signature gives help() and inspect.signature() the constructor's
// parameters; nothing follows it, as the type has no docstring (see
// ready_color_type).
PyTypeObject ColorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vantel.color.color.Color",
    .tp_basicsize = sizeof(VantelColorObject),
    .tp_itemsize = 0,
    .tp_dealloc = color_dealloc,
    .tp_repr = color_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Color(r, g, b, a=255)\n--\n\n",
    .tp_iter = new_color_iterator,
    .tp_methods = color_pickling_methods,
    .tp_getset = color_getset,
    .tp_init = color_init,
    .tp_new = color_new,
    .tp_vectorcall = color_vectorcall,
};

}  // namespace vantel::color
