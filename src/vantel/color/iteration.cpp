// The generator behind iter(Color): see iteration.h.
#include "iteration.h"

#include <cstddef>
#include <cstring>

#include <frameobject.h>

#include "code_object.h"
#include "failure_report.h"
#include "module_state.h"
#include "object_attributes.h"

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
    Py_VISIT(reinterpret_cast<IterationRecord *>(object)->self);
    return 0;
}

// Records are recycled last in, first out, so that iterating colour after
// colour allocates only the generator.  Only records of the record type's
// own size may enter, since a free slot is reused as that type.
constexpr int kFreeListCapacity = 8;
IterationRecord *free_records[kFreeListCapacity];
int32_t free_record_count = 0;

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
    Py_CLEAR(record->self);
    if (free_record_count < kFreeListCapacity && record_type_fits_free_list()) {
        free_records[free_record_count++] = record;
    } else {
        Py_TYPE(object)->tp_free(object);
    }
}

IterationRecord *new_record()
{
    if (free_record_count > 0 && record_type_fits_free_list()) {
        IterationRecord *record = free_records[--free_record_count];
        std::memset(static_cast<void *>(record), 0, sizeof(IterationRecord));
        (void)PyObject_Init(reinterpret_cast<PyObject *>(record), &IterationRecordType);
        PyObject_GC_Track(record);
        return record;
    }
    return reinterpret_cast<IterationRecord *>(
        IterationRecordType.tp_alloc(&IterationRecordType, 0));
}

// ---------------------------------------------------------------------------
// The generator.

// Resume points: 0 before the first value, 1..4 just after yielding r, g, b
// and a; kFinished once the body has ended, by returning or by raising.
constexpr int kFinished = -1;

struct ColorGenerator {
    PyObject_HEAD
    IterationRecord *record;
    PyObject *code;
    PyObject *frame;
    PyObject *name;
    PyObject *qualname;
    PyObject *module_name;
    PyObject *weakrefs;
    int resume_point;
    bool running;
};

PyObject *iter_name;
PyObject *iter_qualname;
PyObject *iter_module_name;
PyObject *iter_code;

ColorGenerator *as_generator(PyObject *object)
{
    return reinterpret_cast<ColorGenerator *>(object);
}

// Drops everything the generator holds of the colour.  Releasing the record
// may run arbitrary code (a subclass's __del__), so the generator is marked
// finished first.
void finish(ColorGenerator *generator)
{
    generator->resume_point = kFinished;
    Py_CLEAR(generator->record);
    Py_CLEAR(generator->code);
    Py_CLEAR(generator->frame);
    Py_CLEAR(generator->name);
    Py_CLEAR(generator->qualname);
    Py_CLEAR(generator->module_name);
}

// The body ends with the pending exception, which gets the entry of the
// line where the body stands.  A StopIteration may not escape a generator:
// it becomes a RuntimeError caused by it.
PyObject *leave_with_exception(ColorGenerator *generator, int line)
{
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *stop = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject *error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(stop));
        PyException_SetContext(error, stop);
        PyErr_SetRaisedException(error);
    }
    add_traceback_entry("__iter__", kImplementationFile, line);
    finish(generator);
    return nullptr;
}

// Yields the channel at `index` (0 = r .. 3 = a), read from the colour now.
// Reading a byte runs no Python code and cannot fail.
PyObject *yield_channel(ColorGenerator *generator, int index)
{
    const auto *channels = reinterpret_cast<const uint8_t *>(&generator->record->self->_raw);
    generator->resume_point = index + 1;
    return channel_value(channels[index]);
}

// Runs the body from its resume point.  `sent` is the value handed in, or
// null when an exception is pending to be raised where the body stands.
// Returns the next value; null with an exception on failure; null without
// one at the end.
PyObject *run_body(ColorGenerator *generator, PyObject *sent)
{
    // The line of each resume point, where an exception thrown in surfaces.
    static constexpr int kResumeLine[] = {14, 15, 16, 17, 18};
    const int point = generator->resume_point;
    if (sent == nullptr) {
        return leave_with_exception(generator, kResumeLine[point]);
    }
    if (point == 0 && sent != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return leave_with_exception(generator, kResumeLine[0]);
    }
    if (point == 4) {
        finish(generator);
        return nullptr;
    }
    return yield_channel(generator, point);
}

PyObject *resume(ColorGenerator *generator, PyObject *sent)
{
    generator->running = true;
    PyObject *result = run_body(generator, sent);
    generator->running = false;
    return result;
}

bool refuse_if_running(ColorGenerator *generator)
{
    if (generator->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return true;
    }
    return false;
}

PyObject *generator_iternext(PyObject *self)
{
    ColorGenerator *generator = as_generator(self);
    if (refuse_if_running(generator)) {
        return nullptr;
    }
    const int point = generator->resume_point;
    if (point >= 0 && point < 4) [[likely]] {
        // The common step runs no Python code, so it needs no running flag.
        return yield_channel(generator, point);
    }
    if (point == kFinished) {
        return nullptr;
    }
    return resume(generator, Py_None);
}

PyObject *generator_send(PyObject *self, PyObject *value)
{
    ColorGenerator *generator = as_generator(self);
    if (refuse_if_running(generator)) {
        return nullptr;
    }
    PyObject *result = generator->resume_point == kFinished ? nullptr : resume(generator, value);
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetNone(PyExc_StopIteration);
    }
    return result;
}

// The send slot, used when a Python generator delegates with `yield from`.
PySendResult generator_am_send(PyObject *self, PyObject *value, PyObject **result)
{
    ColorGenerator *generator = as_generator(self);
    *result = nullptr;
    if (refuse_if_running(generator)) {
        return PYGEN_ERROR;
    }
    if (generator->resume_point != kFinished) {
        *result = resume(generator, value);
        if (*result != nullptr) {
            return PYGEN_NEXT;
        }
        if (PyErr_Occurred()) {
            return PYGEN_ERROR;
        }
    }
    *result = Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Forms the exception of throw(typ[, val[, tb]]) as a raise statement would
// and leaves it pending.  An error while forming it is pending instead.
void set_thrown_exception(PyObject *type, PyObject *value, PyObject *traceback)
{
    if (traceback == Py_None) {
        traceback = nullptr;
    }
    if (value == Py_None) {
        value = nullptr;
    }
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
        return;
    }
    PyObject *exception;
    if (PyExceptionInstance_Check(type)) {
        if (value != nullptr) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return;
        }
        exception = Py_NewRef(type);
    } else if (!PyExceptionClass_Check(type)) {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
        return;
    } else if (value != nullptr && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject *>(type))) {
        exception = Py_NewRef(value);
    } else {
        if (value == nullptr) {
            exception = PyObject_CallNoArgs(type);
        } else if (PyTuple_Check(value)) {
            exception = PyObject_Call(type, value, nullptr);
        } else {
            exception = PyObject_CallOneArg(type, value);
        }
        if (exception == nullptr) {
            return;
        }
        if (!PyExceptionInstance_Check(exception)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         type, Py_TYPE(exception));
            Py_DECREF(exception);
            return;
        }
    }
    if (traceback != nullptr && PyException_SetTraceback(exception, traceback) < 0) {
        Py_DECREF(exception);
        return;
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception)), exception);
    Py_DECREF(exception);
}

PyObject *generator_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    ColorGenerator *generator = as_generator(self);
    if (refuse_if_running(generator)) {
        return nullptr;
    }
    // Forming the exception may call Python code (the exception class), which
    // counts as running the generator.
    generator->running = true;
    set_thrown_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    generator->running = false;
    if (generator->resume_point == kFinished) {
        return nullptr;
    }
    return resume(generator, nullptr);
}

PyObject *generator_close(PyObject *self, PyObject *)
{
    ColorGenerator *generator = as_generator(self);
    if (refuse_if_running(generator)) {
        return nullptr;
    }
    if (generator->resume_point == kFinished) {
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    // The body has no handler: it always leaves with the exception.
    (void)resume(generator, nullptr);
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject *generator_reduce(PyObject *self, PyObject *)
{
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

// A generator dropped half-way is closed first, as Python's own are.
void generator_finalize(PyObject *self)
{
    if (as_generator(self)->resume_point <= 0) {
        return;  // not started, or finished: nothing to close
    }
    PyObject *pending = PyErr_GetRaisedException();
    PyObject *result = generator_close(self, nullptr);
    if (result == nullptr) {
        PyErr_WriteUnraisable(self);
    } else {
        Py_DECREF(result);
    }
    PyErr_SetRaisedException(pending);
}

int generator_traverse(PyObject *self, visitproc visit, void *arg)
{
    ColorGenerator *generator = as_generator(self);
    Py_VISIT(generator->record);
    Py_VISIT(generator->code);
    Py_VISIT(generator->frame);
    Py_VISIT(generator->name);
    Py_VISIT(generator->qualname);
    Py_VISIT(generator->module_name);
    return 0;
}

int generator_clear(PyObject *self)
{
    finish(as_generator(self));
    return 0;
}

void generator_dealloc(PyObject *self)
{
    ColorGenerator *generator = as_generator(self);
    PyObject_GC_UnTrack(self);
    if (generator->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    if (generator->resume_point > 0) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) {
            return;  // resurrected by the code that ran while closing
        }
        PyObject_GC_UnTrack(self);
    }
    finish(generator);
    PyObject_GC_Del(self);
}

PyObject *generator_get_running(PyObject *self, void *)
{
    return PyBool_FromLong(as_generator(self)->running);
}

PyObject *generator_get_yieldfrom(PyObject *, void *)
{
    Py_RETURN_NONE;
}

PyObject *generator_get_frame(PyObject *self, void *)
{
    ColorGenerator *generator = as_generator(self);
    if (generator->frame == nullptr && generator->code != nullptr) {
        PyFrameObject *frame =
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(generator->code),
                        module_dict, nullptr);
        if (frame == nullptr) {
            return nullptr;
        }
        generator->frame = reinterpret_cast<PyObject *>(frame);
    }
    return attributes::new_ref_or_none(generator->frame);
}

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O,
     PyDoc_STR("send(arg) -> send 'arg' into generator,\n"
               "return next yielded value or raise StopIteration.")},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(generator_throw)),
     METH_FASTCALL,
     PyDoc_STR("throw(value)\nthrow(type[,value[,tb]])\n\n"
               "Raise exception in generator, return next yielded value or raise\n"
               "StopIteration.")},
    {"close", generator_close, METH_NOARGS,
     PyDoc_STR("close() -> raise GeneratorExit inside generator.")},
    {"__reduce__", generator_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

namespace attr = attributes;

PyGetSetDef generator_getset[] = {
    {"gi_running", generator_get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", generator_get_yieldfrom, nullptr, nullptr, nullptr},
    {"gi_code", attr::get<ColorGenerator, &ColorGenerator::code>, nullptr, nullptr, nullptr},
    {"gi_frame", generator_get_frame, nullptr, nullptr, nullptr},
    {"__name__", attr::get<ColorGenerator, &ColorGenerator::name>,
     attr::set_name<ColorGenerator, &ColorGenerator::name>, nullptr, nullptr},
    {"__qualname__", attr::get<ColorGenerator, &ColorGenerator::qualname>,
     attr::set_qualname<ColorGenerator, &ColorGenerator::qualname>, nullptr, nullptr},
    {"__module__", attr::get<ColorGenerator, &ColorGenerator::module_name>,
     attr::set_any<ColorGenerator, &ColorGenerator::module_name>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods generator_as_async = {
    .am_send = generator_am_send,
};

PyTypeObject ColorGeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vantel.color.color.generator",
    .tp_basicsize = sizeof(ColorGenerator),
    .tp_dealloc = generator_dealloc,
    .tp_as_async = &generator_as_async,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = generator_traverse,
    .tp_clear = generator_clear,
    .tp_weaklistoffset = offsetof(ColorGenerator, weakrefs),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = generator_iternext,
    .tp_methods = generator_methods,
    .tp_getset = generator_getset,
    .tp_finalize = generator_finalize,
};

}  // namespace

int make_iteration_constants()
{
    Py_XSETREF(iter_name, PyUnicode_InternFromString("__iter__"));
    Py_XSETREF(iter_qualname, PyUnicode_InternFromString("Color.__iter__"));
    Py_XSETREF(iter_module_name, PyUnicode_InternFromString("vantel.color.color"));
    return iter_name && iter_qualname && iter_module_name ? 0 : -1;
}

int ready_generator_type()
{
    return PyType_Ready(&ColorGeneratorType);
}

int make_iteration_code_object()
{
    Py_XSETREF(iter_code, new_descriptive_code(kImplementationFile, "__iter__", "__iter__", 14,
                                               {"self"},
                                               CO_OPTIMIZED | CO_NEWLOCALS | CO_GENERATOR));
    return iter_code != nullptr ? 0 : -1;
}

int ready_iteration_record_type()
{
    return PyType_Ready(&IterationRecordType);
}

PyObject *new_color_iterator(PyObject *color)
{
    IterationRecord *record = new_record();
    if (record == nullptr) {
        add_traceback_entry("vantel.color.color.Color.__iter__", kImplementationFile, 14);
        return nullptr;
    }
    record->self = reinterpret_cast<VantelColorObject *>(Py_NewRef(color));
    ColorGenerator *generator = PyObject_GC_New(ColorGenerator, &ColorGeneratorType);
    if (generator == nullptr) {
        add_traceback_entry("vantel.color.color.Color.__iter__", kImplementationFile, 14);
        Py_DECREF(record);
        return nullptr;
    }
    generator->record = record;  // the generator takes over the only reference
    generator->code = Py_NewRef(iter_code);
    generator->frame = nullptr;
    generator->name = Py_NewRef(iter_name);
    generator->qualname = Py_NewRef(iter_qualname);
    generator->module_name = Py_NewRef(iter_module_name);
    generator->weakrefs = nullptr;
    generator->resume_point = 0;
    generator->running = false;
    PyObject_GC_Track(generator);
    return reinterpret_cast<PyObject *>(generator);
}

}  // namespace vantel::color
