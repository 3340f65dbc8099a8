// Iteration over a Color: see iteration.h.
#include "iteration.h"

#include "code_object.h"
#include "color_type.h"
#include "free_list.h"
#include "generator.h"
#include "process_state.h"
#include "references.h"
#include "shared_memory.h"
#include "traceback_entry.h"

namespace vantel::color {
namespace {

// ---------------------------------------------------------------------------
// The iteration-state record: the generator's one reference to its colour.

struct IterationRecord {
    PyObject_HEAD
    VantelColorObject *self;
};

int record_traverse(PyObject *object, visitproc visit, void *arg)
{
    Py_VISIT(load_relaxed(reinterpret_cast<IterationRecord *>(object)->self));
    return 0;
}

// Records are recycled, so that iterating colour after colour allocates
// only the generator.  Only records of the record type's own size may
// enter, since a free slot is reused as that type.
using RecordFreeList = FreeList<IterationRecord, 8>;

void record_dealloc(PyObject *object);

PyTypeObject IterationRecordType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vantel.color.color.__pyx_scope_struct____iter__",
    .tp_basicsize = sizeof(IterationRecord),
    .tp_dealloc = record_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = record_traverse,
};

bool record_type_fits_free_list()
{
    return IterationRecordType.tp_basicsize == static_cast<Py_ssize_t>(sizeof(IterationRecord));
}

void record_dealloc(PyObject *object)
{
    auto *record = reinterpret_cast<IterationRecord *>(object);
    PyObject_GC_UnTrack(object);
    VantelColorObject *self = load_relaxed(record->self);
    store_relaxed(record->self, static_cast<VantelColorObject *>(nullptr));
    Py_XDECREF(self);
    if (!record_type_fits_free_list() || !free_list<RecordFreeList>().push(record)) {
        Py_TYPE(object)->tp_free(object);
    }
}

IterationRecord *new_record()
{
    if (record_type_fits_free_list()) {
        if (IterationRecord *record; free_list<RecordFreeList>().pop(record)) {
            (void)PyObject_Init(reinterpret_cast<PyObject *>(record), &IterationRecordType);
            store_relaxed(record->self, static_cast<VantelColorObject *>(nullptr));
            PyObject_GC_Track(record);
            return record;
        }
    }
    return reinterpret_cast<IterationRecord *>(
        IterationRecordType.tp_alloc(&IterationRecordType, 0));
}

// ---------------------------------------------------------------------------
// The body: before its first step and after each of the four channels.

// Where an exception thrown in at each resume point surfaces.
constexpr Label kResumeLabels[] = {
    Label::IterBodyStart, Label::IterBodyAfterR, Label::IterBodyAfterG,
    Label::IterBodyAfterB, Label::IterBodyAfterA,
};

// The body's end, kept out of line so that the steps that yield do not pay
// for saving the registers that finishing needs.
[[gnu::noinline]] PyObject *end_body(Generator *generator)
{
    finish_generator(generator);
    return nullptr;
}

}  // namespace

// The generators' body (generator.h): yields the next channel, read from
// the colour now, or ends after the fourth.  Reading a byte runs no Python
// code and cannot fail.
PyObject *resume_generator_body(Generator *generator, PyObject *sent)
{
    // Read atomically, as every field another thread may write (see
    // shared_memory.h): the claim orders these accesses, but not visibly to
    // a tool that sees only the module's own synchronisation.
    const int point = load_relaxed(generator->resume_point);
    if (sent == nullptr) [[unlikely]] {
        return leave_generator_with_exception(generator, kResumeLabels[point]);
    }
    if (point == 0 && sent != Py_None) [[unlikely]] {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return leave_generator_with_exception(generator, kResumeLabels[0]);
    }
    if (point == 4) {
        return end_body(generator);
    }
    const auto *record = reinterpret_cast<IterationRecord *>(load_relaxed(generator->state));
    PyObject *value = channel_value(load_channel(load_relaxed(record->self), point));
    suspend_generator(generator, point + 1);
    return value;
}

int make_iteration_constants()
{
    ProcessState::Constants &constants = process.constants;
    if (make_constant(constants.iter_name,
                      [] { return PyUnicode_InternFromString("__iter__"); }) < 0) {
        return -1;
    }
    return make_constant(constants.iter_qualname,
                         [] { return PyUnicode_InternFromString("Color.__iter__"); });
}

int make_iteration_code_object()
{
    return make_constant(process.constants.iter_code, [] {
        return new_descriptive_code(kImplementationFile, "__iter__", "__iter__", 14, {"self"},
                                    CO_OPTIMIZED | CO_NEWLOCALS | CO_GENERATOR);
    });
}

int ready_iteration_record_type()
{
    return PyType_Ready(&IterationRecordType);
}

PyObject *new_color_iterator(PyObject *color)
{
    IterationRecord *record = new_record();
    if (record == nullptr) {
        add_traceback_entry(Label::ColorIter);
        return nullptr;
    }
    OwnedRef owned_record(reinterpret_cast<PyObject *>(record));
    // Stored atomically, as the collector may read it from another thread.
    store_relaxed(record->self, reinterpret_cast<VantelColorObject *>(Py_NewRef(color)));
    PyObject *generator = new_generator(owned_record.get());
    if (generator == nullptr) {
        add_traceback_entry(Label::ColorIter);
        return nullptr;
    }
    owned_record.release();  // the generator has taken it over
    return generator;
}

}  // namespace vantel::color
