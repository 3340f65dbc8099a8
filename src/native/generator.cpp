// Generators with a C body: see generator.h.
#include "generator.h"

#include <cstddef>
#include <iterator>

#include <frameobject.h>

#include "free_list.h"
#include "function_cast.h"
#include "process_state.h"
#include "object_attributes.h"
#include "references.h"
#include "shared_memory.h"

namespace vantel::color {
namespace {

extern PyTypeObject GeneratorType;

Generator *as_generator(PyObject *object)
{
    return reinterpret_cast<Generator *>(object);
}

// ---------------------------------------------------------------------------
// The running flag.  A thread claims the generator before it resumes the
// body, closes it or forms an exception to throw in; the body releases it
// when it suspends or finishes (see resume_generator_body), the others when
// they are done.  While one thread holds it, every other call that would
// need it is refused with "generator already executing".  Without the
// interpreter lock the claim is one atomic exchange (test and set), so that
// two threads can never both take it: a refused thread only writes the
// flag's own value back.  The release publishes what the holder changed
// (the resume point, the body's state) to the next holder.  With the lock,
// a plain test and store suffice.

bool claim(Generator *generator)
{
#ifdef Py_GIL_DISABLED
    if (!std::atomic_ref<bool>(generator->running).exchange(true, std::memory_order_acquire)) {
        return true;
    }
#else
    if (!generator->running) {
        generator->running = true;
        return true;
    }
#endif
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return false;
}

void release(Generator *generator)
{
#ifdef Py_GIL_DISABLED
    std::atomic_ref<bool>(generator->running).store(false, std::memory_order_release);
#else
    generator->running = false;
#endif
}

// The references the generator holds, which finishing clears and releases:
// the body's state last, since its release may run arbitrary code.
constexpr PyObject *Generator::*kHeldFields[] = {
    &Generator::frame,       &Generator::name,  &Generator::qualname,
    &Generator::module_name, &Generator::state,
};

bool is_running(const Generator *generator)
{
    return load_relaxed(generator->running);
}

int resume_point(const Generator *generator)
{
    return load_relaxed(generator->resume_point);
}

bool is_finished(const Generator *generator)
{
    return resume_point(generator) == kGeneratorFinished;
}

// Claims the generator and resumes it, if it is not finished: the next value,
// or null with an exception set by a refusal or the body, or null alone once
// the generator has finished.
PyObject *claim_and_resume(Generator *generator, PyObject *sent)
{
    if (!claim(generator)) {
        return nullptr;
    }
    if (is_finished(generator)) {
        release(generator);
        return nullptr;
    }
    return resume_generator_body(generator, sent);
}

PyObject *generator_iternext(PyObject *self)
{
    return claim_and_resume(as_generator(self), Py_None);
}

PyObject *generator_send(PyObject *self, PyObject *value)
{
    PyObject *result = claim_and_resume(as_generator(self), value);
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetNone(PyExc_StopIteration);
    }
    return result;
}

// The send slot, used when a Python generator delegates with `yield from`.
PySendResult generator_am_send(PyObject *self, PyObject *value, PyObject **result)
{
    *result = claim_and_resume(as_generator(self), value);
    if (*result != nullptr) {
        return PYGEN_NEXT;
    }
    if (PyErr_Occurred()) {
        return PYGEN_ERROR;
    }
    *result = Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Whether throw()'s value (null if none) is an exception of the exception
// class `type` as the class itself decides: its __subclasscheck__, where an
// ABC's registrations count, may run Python code and fail (-1).
int value_of_class(PyObject *value, PyObject *type)
{
    if (value == nullptr || !PyExceptionInstance_Check(value)) {
        return 0;
    }
    return PyObject_IsSubclass(reinterpret_cast<PyObject *>(Py_TYPE(value)), type);
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
    OwnedRef exception;
    if (PyExceptionInstance_Check(type)) {
        if (value != nullptr) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return;
        }
        exception.reset(Py_NewRef(type));
    } else if (!PyExceptionClass_Check(type)) {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
        return;
    } else if (int value_is_instance = value_of_class(value, type); value_is_instance < 0) {
        return;
    } else if (value_is_instance) {
        exception.reset(Py_NewRef(value));
    } else {
        if (value == nullptr) {
            exception.reset(PyObject_CallNoArgs(type));
        } else if (PyTuple_Check(value)) {
            exception.reset(PyObject_Call(type, value, nullptr));
        } else {
            exception.reset(PyObject_CallOneArg(type, value));
        }
        if (!exception) {
            return;
        }
        if (!PyExceptionInstance_Check(exception.get())) {
            // Formatting the class runs its metaclass's __repr__, which may
            // give the returned object another class and free the old one.
            OwnedRef returned_class(Py_NewRef(Py_TYPE(exception.get())));
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         type, returned_class.get());
            return;
        }
    }
    if (traceback != nullptr && PyException_SetTraceback(exception.get(), traceback) < 0) {
        return;
    }
    // Set as it stands, as a Python generator's throw() does: setting it as
    // raised would test its class against itself again (Python code, which
    // may fail or say no) and chain the exception being handled as its
    // context.
    PyErr_SetRaisedException(exception.release());
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
    Generator *generator = as_generator(self);
    // Forming the exception may call Python code (the exception class), which
    // counts as running the generator: the claim covers it and the resumption.
    if (!claim(generator)) {
        return nullptr;
    }
    set_thrown_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    if (is_finished(generator)) {
        release(generator);
        return nullptr;
    }
    return resume_generator_body(generator, nullptr);
}

// close() raises GeneratorExit where the body stands.  A body catches
// nothing, so the exception would leave it at once, with the body's traceback
// entry, and close() would swallow it again: nothing could ever see either.
// Finishing the generator has the same outcome without making them.
PyObject *generator_close(PyObject *self, PyObject *)
{
    Generator *generator = as_generator(self);
    if (!claim(generator)) {
        return nullptr;
    }
    if (is_finished(generator)) {
        release(generator);
    } else {
        finish_generator(generator);  // which releases the claim
    }
    Py_RETURN_NONE;
}

PyObject *generator_reduce(PyObject *self, PyObject *)
{
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

// A generator dropped half-way is closed first, as Python's own are.
void generator_finalize(PyObject *self)
{
    if (resume_point(as_generator(self)) <= 0) {
        return;  // not started, or finished: nothing to close
    }
    SavedException pending;
    PyObject *result = generator_close(self, nullptr);
    if (result == nullptr) {
        PyErr_WriteUnraisable(self);
    } else {
        Py_DECREF(result);
    }
}

int generator_traverse(PyObject *self, visitproc visit, void *arg)
{
    const Generator *generator = as_generator(self);
    Py_VISIT(load_relaxed(generator->state));
    Py_VISIT(load_relaxed(generator->frame));
    Py_VISIT(load_relaxed(generator->name));
    Py_VISIT(load_relaxed(generator->qualname));
    Py_VISIT(load_relaxed(generator->module_name));
    return 0;
}

int generator_clear(PyObject *self)
{
    finish_generator(as_generator(self));
    return 0;
}

// Generators are recycled as their bodies' records are, so that iterating
// colour after colour allocates nothing.  A slot keeps the object's memory
// with its collector header; 32 of them (about 3 KB) cover a good many
// iterators alive at once.
using GeneratorFreeList = FreeList<Generator, 32>;

// A generator that the collector has finalised keeps that mark in its
// header, which a reused one must not carry: such a one is freed instead.
void release_generator_memory(Generator *generator)
{
    PyObject *self = reinterpret_cast<PyObject *>(generator);
    if (PyObject_GC_IsFinalized(self) || !free_list<GeneratorFreeList>().push(generator)) {
        PyObject_GC_Del(self);
    }
}

Generator *allocate_generator()
{
    if (Generator *generator; free_list<GeneratorFreeList>().pop(generator)) {
        (void)PyObject_Init(reinterpret_cast<PyObject *>(generator), &GeneratorType);
        return generator;
    }
    return PyObject_GC_New(Generator, &GeneratorType);
}

// A generator dropped half-way is closed, which only finishes it (see
// generator_close): that releases the body's state but runs nothing that
// could reach this generator again, so the finaliser's guard against
// resurrection is not needed here.  A finished one holds only the names
// assigned to it since.  Untracked and without weak references, the
// generator is out of every other thread's reach: its fields are released
// as plain memory, with no claim, no critical section and no clearing, the
// body's state last as when it finishes.
void generator_dealloc(PyObject *self)
{
    Generator *generator = as_generator(self);
    PyObject_GC_UnTrack(self);
    if (load_relaxed(generator->weakrefs) != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    for (PyObject *Generator::*field : kHeldFields) {
        Py_XDECREF(generator->*field);
    }
    release_generator_memory(generator);
}

PyObject *generator_get_running(PyObject *self, void *)
{
    return PyBool_FromLong(is_running(as_generator(self)));
}

// True only while the body waits at a yield, as inspect.getgeneratorstate
// asks.
PyObject *generator_get_suspended(PyObject *self, void *)
{
    const Generator *generator = as_generator(self);
    return PyBool_FromLong(resume_point(generator) > 0 && !is_running(generator));
}

#if PY_VERSION_HEX >= 0x030F0000
// 3.15's generators name their state in gi_state, which is what
// inspect.getgeneratorstate reads there.
PyObject *generator_get_state(PyObject *self, void *)
{
    const Generator *generator = as_generator(self);
    const int point = resume_point(generator);
    const char *state = is_running(generator)         ? "GEN_RUNNING"
                        : point == 0                  ? "GEN_CREATED"
                        : point == kGeneratorFinished ? "GEN_CLOSED"
                                                      : "GEN_SUSPENDED";
    return PyUnicode_FromString(state);
}
#endif

PyObject *generator_get_yieldfrom(PyObject *, void *)
{
    Py_RETURN_NONE;
}

// A field that reads as the iteration's constant `fallback` while it is
// empty and the generator unfinished, and as None once it has finished.
// Finishing marks the generator before it clears any field, which it does
// in the critical section, so a reader inside the section that finds a
// field cleared also finds the mark.
PyObject *read_field_or(Generator *generator, PyObject *const *slot, PyObject *fallback)
{
    PyObject *value;
    Py_BEGIN_CRITICAL_SECTION(generator);
    value = load_relaxed(*slot);
    if (value == nullptr && !is_finished(generator)) {
        value = fallback;
    }
    value = attributes::new_ref_or_none(value);
    Py_END_CRITICAL_SECTION();
    return value;
}

template <PyObject *Generator::*Field, PyObject *ProcessState::Constants::*Fallback>
PyObject *generator_get_named(PyObject *self, void *)
{
    Generator *generator = as_generator(self);
    return read_field_or(generator, &(generator->*Field), process.constants.*Fallback);
}

PyObject *generator_get_code(PyObject *self, void *)
{
    return attributes::new_ref_or_none(
        is_finished(as_generator(self)) ? nullptr : process.constants.iter_code);
}

// Deleting __module__ leaves None, which an empty field would not read as.
int generator_set_module(PyObject *self, PyObject *value, void *)
{
    attributes::replace_field(self, &as_generator(self)->module_name,
                              attributes::new_ref_or_none(value));
    return 0;
}

// Making the frame looks names up in the module's namespace, which can run
// Python code that closes this generator or reads gi_frame itself, and
// other threads can do the same meanwhile: what they left stands, and the
// frame made here is kept only if the generator is still unfinished and
// still has none.  The field is read and set under the generator's
// critical section (see object_attributes.h); the frame is made outside it.
PyObject *generator_get_frame(PyObject *self, void *)
{
    Generator *generator = as_generator(self);
    bool needs_frame;
    Py_BEGIN_CRITICAL_SECTION(self);
    needs_frame = load_relaxed(generator->frame) == nullptr && !is_finished(generator);
    Py_END_CRITICAL_SECTION();
    if (needs_frame) {
        auto *code = reinterpret_cast<PyCodeObject *>(process.constants.iter_code);
        OwnedRef frame(reinterpret_cast<PyObject *>(
            PyFrame_New(PyThreadState_Get(), code, load_published(process.module_dict), nullptr)));
        if (!frame) {
            return nullptr;
        }
        PyObject *taken_back = nullptr;
        Py_BEGIN_CRITICAL_SECTION(self);
        if (load_relaxed(generator->frame) == nullptr && !is_finished(generator)) {
            store_ordered(generator->frame, frame.release());
            // Finishing in another thread meanwhile may have missed it.
            if (load_ordered(generator->resume_point) == kGeneratorFinished) {
                taken_back = load_relaxed(generator->frame);
                store_relaxed(generator->frame, static_cast<PyObject *>(nullptr));
            }
        }
        Py_END_CRITICAL_SECTION();
        Py_XDECREF(taken_back);
    }
    return attributes::read_field(self, &generator->frame);
}

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O,
     PyDoc_STR("send(arg) -> send 'arg' into generator,\n"
               "return next yielded value or raise StopIteration.")},
    {"throw", VANTEL_COLOR_PYCFUNCTION(generator_throw), METH_FASTCALL,
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
    {"gi_suspended", generator_get_suspended, nullptr, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030F0000
    {"gi_state", generator_get_state, nullptr, PyDoc_STR("state of the generator"), nullptr},
#endif
    {"gi_yieldfrom", generator_get_yieldfrom, nullptr, nullptr, nullptr},
    {"gi_code", generator_get_code, nullptr, nullptr, nullptr},
    {"gi_frame", generator_get_frame, nullptr, nullptr, nullptr},
    {"__name__", generator_get_named<&Generator::name, &ProcessState::Constants::iter_name>,
     attr::set_name<Generator, &Generator::name>, nullptr, nullptr},
    {"__qualname__",
     generator_get_named<&Generator::qualname, &ProcessState::Constants::iter_qualname>,
     attr::set_qualname<Generator, &Generator::qualname>, nullptr, nullptr},
    {"__module__",
     generator_get_named<&Generator::module_name, &ProcessState::Constants::module_name>,
     generator_set_module, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods generator_as_async = {
    .am_send = generator_am_send,
};

PyTypeObject GeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vantel.color.color.generator",
    .tp_basicsize = sizeof(Generator),
    .tp_dealloc = generator_dealloc,
    .tp_as_async = &generator_as_async,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = generator_traverse,
    .tp_clear = generator_clear,
    .tp_weaklistoffset = offsetof(Generator, weakrefs),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = generator_iternext,
    .tp_methods = generator_methods,
    .tp_getset = generator_getset,
    .tp_finalize = generator_finalize,
};

}  // namespace

PyObject *new_generator(PyObject *state)
{
    Generator *generator = allocate_generator();
    if (generator == nullptr) {
        return nullptr;
    }
    // Every field is stored atomically, as other threads read them (see
    // finish_generator) and, without the interpreter lock, the memory may
    // have served another thread's generator a moment ago: the allocator's
    // own synchronisation is invisible to a race detector that watches only
    // the module.  The release of the claim publishes them all to the thread
    // that resumes the generator first.
    constexpr PyObject *kEmpty = nullptr;
    store_relaxed(generator->state, state);
    store_relaxed(generator->frame, kEmpty);
    store_relaxed(generator->name, kEmpty);
    store_relaxed(generator->qualname, kEmpty);
    store_relaxed(generator->module_name, kEmpty);
    store_relaxed(generator->weakrefs, kEmpty);
    store_relaxed(generator->resume_point, 0);
    release(generator);
    PyObject_GC_Track(generator);
    return reinterpret_cast<PyObject *>(generator);
}

void suspend_generator(Generator *generator, int point)
{
    store_relaxed(generator->resume_point, point);
    release(generator);
}

// Whether finishing may skip the critical section when the generator holds
// no attribute (below).  With the GIL the section is empty, and clearing
// every field costs less than looking at them first.
#ifdef Py_GIL_DISABLED
constexpr bool kFinishingLooksFirst = true;
#else
constexpr bool kFinishingLooksFirst = false;
#endif

// Whether the generator holds its frame or a name that Python code
// assigned, which other threads read and replace under its critical section.
bool holds_attributes(const Generator *generator)
{
    return load_ordered(generator->frame) != nullptr ||
           load_relaxed(generator->name) != nullptr ||
           load_relaxed(generator->qualname) != nullptr ||
           load_relaxed(generator->module_name) != nullptr;
}

// Releasing the state may run arbitrary code (a colour subclass's __del__)
// that looks at this generator: it must find it finished, not running and
// holding nothing, so every field is cleared before anything is released.
// Other threads read the attributes meanwhile (gi_frame, __name__ and the
// others) under the generator's critical section: they see either the
// field, with their own reference to it, or the generator finished.  Only
// the body, which this thread has claimed, and the collector, which stops
// every other thread first, read the state.  So a generator that holds no
// attribute, as nearly all do, finishes without the section: a name that
// another thread assigns meanwhile stays, as if assigned after the end, and
// a frame that gi_frame stores meanwhile it takes back itself, as it looks
// for the end after its store as this looks for a frame after marking the
// end.  The claim is released before anything is: code that the releases
// run may use the generator, which is finished for good.
void finish_generator(Generator *generator)
{
    store_ordered(generator->resume_point, kGeneratorFinished);
    PyObject *released[std::size(kHeldFields)] = {};
    if (kFinishingLooksFirst && !holds_attributes(generator)) [[likely]] {
        static_assert(kHeldFields[std::size(kHeldFields) - 1] == &Generator::state);
        released[std::size(kHeldFields) - 1] = load_relaxed(generator->state);
        store_relaxed(generator->state, static_cast<PyObject *>(nullptr));
    } else {
        Py_BEGIN_CRITICAL_SECTION(generator);
        for (std::size_t i = 0; i < std::size(kHeldFields); ++i) {
            released[i] = load_relaxed(generator->*kHeldFields[i]);
            store_relaxed(generator->*kHeldFields[i], static_cast<PyObject *>(nullptr));
        }
        Py_END_CRITICAL_SECTION();
    }
    release(generator);
    for (PyObject *object : released) {
        Py_XDECREF(object);
    }
}

PyObject *leave_generator_with_exception(Generator *generator, Label label)
{
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *stop = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject *error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(stop));
        PyException_SetContext(error, stop);
        PyErr_SetRaisedException(error);
    }
    add_traceback_entry(label);
    finish_generator(generator);
    return nullptr;
}

int ready_generator_type()
{
    return PyType_Ready(&GeneratorType);
}

}  // namespace vantel::color
