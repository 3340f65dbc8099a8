// _reference_color: the benchmarks' yardstick, a colour type that does only
// what Color's contract asks of its fast paths and nothing more.  It is what
// a careful author would write first: construction by vectorcall over
// compact ints into an object from the type's own tp_alloc, plain getters
// and setters, a repr written straight into its string, and iteration by a
// collector-tracked generator whose record holds the colour, both kept on
// free lists, each channel read when it is produced.  The benchmarks count
// Color's instructions over this type's; it is built for them alone, never
// shipped, and its error paths only fail cleanly (no traceback entries, no
// __int__ of other objects).
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// ---------------------------------------------------------------------------
// The colour: the same layout as Color's record.

struct ReferenceColor {
    PyObject_HEAD
    const void *method_table;
    uint8_t channels[4];
};

// Creation points every colour at the type's table, as Color's does.
constexpr int kMethodTable = 0;

extern PyTypeObject ReferenceColorType;

ReferenceColor *as_reference(PyObject *object)
{
    return reinterpret_cast<ReferenceColor *>(object);
}

uint8_t clamp(long value)
{
    return value < 0 ? 0 : value > 255 ? 255 : static_cast<uint8_t>(value);
}

// A channel argument: compact ints straight from their digit, other ints
// through PyLong_AsLong.  -1 with an exception set on failure.
long channel_argument(PyObject *value)
{
    if (PyLong_CheckExact(value) && _PyLong_IsCompact(reinterpret_cast<PyLongObject *>(value)))
        [[likely]] {
        return static_cast<long>(_PyLong_CompactValue(reinterpret_cast<PyLongObject *>(value)));
    }
    if (!PyLong_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    return PyLong_AsLong(value);
}

PyObject *new_reference_color(PyTypeObject *type, const long (&values)[4])
{
    PyObject *object = type->tp_alloc(type, 0);
    if (object == nullptr) {
        return nullptr;
    }
    ReferenceColor *color = as_reference(object);
    color->method_table = &kMethodTable;
    for (int i = 0; i < 4; ++i) {
        color->channels[i] = clamp(values[i]);
    }
    return object;
}

PyObject *parameter_names[4];

int parameter_index(PyObject *name)
{
    for (int i = 0; i < 4; ++i) {
        if (name == parameter_names[i]) {
            return i;
        }
    }
    for (int i = 0; i < 4; ++i) {
        if (PyUnicode_Compare(name, parameter_names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// Keywords, or a wrong count: the vectorcall protocol guarantees string
// names and holds the values for the call's length.
[[gnu::noinline]] PyObject *construct_slowly(PyTypeObject *type, PyObject *const *args,
                                             Py_ssize_t nargs, PyObject *kwnames)
{
    if (nargs > 4) {
        PyErr_Format(PyExc_TypeError, "__init__() takes at most 4 positional arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    PyObject *slots[4] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        const int index = parameter_index(name);
        if (index < 0 || slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "__init__() got an unexpected keyword argument '%U'",
                         name);
            return nullptr;
        }
        slots[index] = args[nargs + i];
    }
    long values[4] = {0, 0, 0, 255};
    for (int i = 0; i < 4; ++i) {
        if (slots[i] == nullptr) {
            if (i < 3) {
                PyErr_Format(PyExc_TypeError,
                             "__init__() takes at least 3 positional arguments (%d given)", i);
                return nullptr;
            }
            continue;
        }
        values[i] = channel_argument(slots[i]);
        if (values[i] == -1 && PyErr_Occurred()) {
            return nullptr;
        }
    }
    return new_reference_color(type, values);
}

PyObject *reference_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames)
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && (nargs == 3 || nargs == 4)) [[likely]] {
        long values[4] = {0, 0, 0, 255};
        bool compact = true;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            auto *number = reinterpret_cast<PyLongObject *>(args[i]);
            compact = compact && PyLong_CheckExact(args[i]) && _PyLong_IsCompact(number);
            if (compact) {
                values[i] = static_cast<long>(_PyLong_CompactValue(number));
            }
        }
        if (compact) [[likely]] {
            return new_reference_color(reinterpret_cast<PyTypeObject *>(type), values);
        }
    }
    return construct_slowly(reinterpret_cast<PyTypeObject *>(type), args, nargs, kwnames);
}

void reference_dealloc(PyObject *object)
{
    Py_TYPE(object)->tp_free(object);
}

// ---------------------------------------------------------------------------
// The channel properties.

template <int Channel> PyObject *get_channel(PyObject *self, void *)
{
    return PyLong_FromLong(as_reference(self)->channels[Channel]);
}

template <int Channel> int set_channel(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    const long converted = channel_argument(value);
    if (converted == -1 && PyErr_Occurred()) {
        return -1;
    }
    as_reference(self)->channels[Channel] = clamp(converted);
    return 0;
}

template <int Channel> constexpr PyGetSetDef channel(const char *name)
{
    return {name, get_channel<Channel>, set_channel<Channel>, nullptr, nullptr};
}

PyGetSetDef reference_getset[] = {
    channel<0>("r"),   channel<1>("g"),     channel<2>("b"),    channel<3>("a"),
    channel<0>("red"), channel<1>("green"), channel<2>("blue"), channel<3>("alpha"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// The text form.

char *write_decimal(char *out, unsigned value)
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

PyObject *reference_repr(PyObject *self)
{
    const uint8_t *channels = as_reference(self)->channels;
    char buffer[sizeof("Color(255, 255, 255, 255)")];
    std::memcpy(buffer, "Color(", 6);
    char *end = buffer + 6;
    for (int i = 0; i < 4; ++i) {
        end = write_decimal(end, channels[i]);
        *end++ = i < 3 ? ',' : ')';
        if (i < 3) {
            *end++ = ' ';
        }
    }
    const Py_ssize_t length = end - buffer;
    PyObject *text = PyUnicode_New(length, 127);
    if (text != nullptr) {
        std::memcpy(PyUnicode_1BYTE_DATA(text), buffer, static_cast<size_t>(length));
    }
    return text;
}

// ---------------------------------------------------------------------------
// Free lists: with the interpreter lock one per process, without it one per
// thread.  What a thread's list holds when the thread ends stays allocated,
// which a benchmark can afford.

#ifdef Py_GIL_DISABLED
#define REFERENCE_FREE_LIST thread_local
#else
#define REFERENCE_FREE_LIST
#endif

template <class T, int Capacity> struct FreeList {
    T *items[Capacity];
    int count;

    T *take(PyTypeObject *type)
    {
        if (count == 0) {
            return nullptr;
        }
        T *object = items[--count];
        (void)PyObject_Init(reinterpret_cast<PyObject *>(object), type);
        return object;
    }

    bool keep(T *object)
    {
        if (count == Capacity) {
            return false;
        }
        items[count++] = object;
        return true;
    }
};

// ---------------------------------------------------------------------------
// The iteration record: the generator's reference to its colour.

struct Record {
    PyObject_HEAD
    PyObject *color;
};

REFERENCE_FREE_LIST FreeList<Record, 8> free_records;

int record_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<Record *>(self)->color);
    return 0;
}

void record_dealloc(PyObject *self)
{
    auto *record = reinterpret_cast<Record *>(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(record->color);
    if (!free_records.keep(record)) {
        Py_TYPE(self)->tp_free(self);
    }
}

PyTypeObject RecordType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_reference_color.record",
    .tp_basicsize = sizeof(Record),
    .tp_dealloc = record_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = record_traverse,
};

// ---------------------------------------------------------------------------
// The generator.  Its name, qualified name, module, code and frame read as
// the defaults while their fields are empty; only an assigned one is held.
// The running flag guards the body against re-entry: with the interpreter
// lock only code that a resumption runs could re-enter, and reading the
// channels runs none, so next() tests it without setting it; without the
// lock it is claimed atomically.

constexpr int kFinished = -1;

struct Generator {
    PyObject_HEAD
    Record *record;
    PyObject *name;
    PyObject *qualname;
    PyObject *module_name;
    PyObject *frame;
    PyObject *weakrefs;
    int resume_point;
    char running;
};

extern PyTypeObject GeneratorType;

REFERENCE_FREE_LIST FreeList<Generator, 32> free_generators;

bool claim(Generator *generator)
{
#ifdef Py_GIL_DISABLED
    if (__atomic_exchange_n(&generator->running, 1, __ATOMIC_ACQUIRE)) {
#else
    if (generator->running) {
#endif
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return false;
    }
    return true;
}

void release(Generator *generator)
{
#ifdef Py_GIL_DISABLED
    __atomic_store_n(&generator->running, 0, __ATOMIC_RELEASE);
#else
    (void)generator;
#endif
}

void finish(Generator *generator)
{
    generator->resume_point = kFinished;
    Record *record = generator->record;
    generator->record = nullptr;
    Py_XDECREF(reinterpret_cast<PyObject *>(record));
}

PyObject *generator_iternext(PyObject *self)
{
    auto *generator = reinterpret_cast<Generator *>(self);
    if (!claim(generator)) {
        return nullptr;
    }
    const int point = generator->resume_point;
    if (point < 4) [[likely]] {
        if (point >= 0) {
            auto *color = as_reference(generator->record->color);
            PyObject *value = PyLong_FromLong(color->channels[point]);
            generator->resume_point = point + 1;
            release(generator);
            return value;
        }
    } else {
        finish(generator);
    }
    release(generator);
    return nullptr;
}

int generator_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *generator = reinterpret_cast<Generator *>(self);
    Py_VISIT(reinterpret_cast<PyObject *>(generator->record));
    Py_VISIT(generator->name);
    Py_VISIT(generator->qualname);
    Py_VISIT(generator->module_name);
    Py_VISIT(generator->frame);
    return 0;
}

int generator_clear(PyObject *self)
{
    auto *generator = reinterpret_cast<Generator *>(self);
    finish(generator);
    Py_CLEAR(generator->name);
    Py_CLEAR(generator->qualname);
    Py_CLEAR(generator->module_name);
    Py_CLEAR(generator->frame);
    return 0;
}

// Dropping a generator half-way closes it, which only finishes it: nothing
// of it can run code that reaches it again.
void generator_dealloc(PyObject *self)
{
    auto *generator = reinterpret_cast<Generator *>(self);
    PyObject_GC_UnTrack(self);
    if (generator->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    generator_clear(self);
    if (!free_generators.keep(generator)) {
        PyObject_GC_Del(self);
    }
}

PyTypeObject GeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_reference_color.generator",
    .tp_basicsize = sizeof(Generator),
    .tp_dealloc = generator_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = generator_traverse,
    .tp_clear = generator_clear,
    .tp_weaklistoffset = offsetof(Generator, weakrefs),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = generator_iternext,
};

PyObject *reference_iter(PyObject *self)
{
    Record *record = free_records.take(&RecordType);
    if (record != nullptr) {
        record->color = nullptr;
        PyObject_GC_Track(record);
    } else {
        record = reinterpret_cast<Record *>(RecordType.tp_alloc(&RecordType, 0));
        if (record == nullptr) {
            return nullptr;
        }
    }
    record->color = Py_NewRef(self);
    Generator *generator = free_generators.take(&GeneratorType);
    if (generator == nullptr) {
        generator = PyObject_GC_New(Generator, &GeneratorType);
        if (generator == nullptr) {
            Py_DECREF(record);
            return nullptr;
        }
    }
    generator->record = record;
    generator->name = nullptr;
    generator->qualname = nullptr;
    generator->module_name = nullptr;
    generator->frame = nullptr;
    generator->weakrefs = nullptr;
    generator->resume_point = 0;
    generator->running = 0;
    PyObject_GC_Track(generator);
    return reinterpret_cast<PyObject *>(generator);
}

PyTypeObject ReferenceColorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_reference_color.Color",
    .tp_basicsize = sizeof(ReferenceColor),
    .tp_dealloc = reference_dealloc,
    .tp_repr = reference_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_iter = reference_iter,
    .tp_getset = reference_getset,
    .tp_vectorcall = reference_vectorcall,
};

int reference_exec(PyObject *module)
{
    constexpr const char *names[] = {"r", "g", "b", "a"};
    for (int i = 0; i < 4; ++i) {
        if (parameter_names[i] == nullptr) {
            parameter_names[i] = PyUnicode_InternFromString(names[i]);
            if (parameter_names[i] == nullptr) {
                return -1;
            }
        }
    }
    if (PyType_Ready(&RecordType) < 0 || PyType_Ready(&GeneratorType) < 0 ||
        PyType_Ready(&ReferenceColorType) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "Color",
                                 reinterpret_cast<PyObject *>(&ReferenceColorType));
}

PyModuleDef_Slot reference_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(reference_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef reference_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_reference_color",
    .m_size = 0,
    .m_slots = reference_slots,
};

}  // namespace

PyMODINIT_FUNC PyInit__reference_color()
{
    return PyModuleDef_Init(&reference_module);
}
