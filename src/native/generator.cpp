// Generators with a C body: see generator.h.
#include "generator.h"

#include <cstddef>

#include <frameobject.h>

#include "function_cast.h"
#include "module_state.h"
#include "object_attributes.h"
#include "references.h"

namespace vantel::color {
namespace {

extern PyTypeObject GeneratorType;

Generator *as_generator(PyObject *object)
{
    return reinterpret_cast<Generator *>(object);
}

PyObject *resume(Generator *generator, PyObject *sent)
{
    generator->running = true;
    PyObject *result = generator->body(generator, sent);
    generator->running = false;
    return result;
}

bool refuse_if_running(Generator *generator)
{
    if (generator->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return true;
    }
    return false;
}

PyObject *generator_iternext(PyObject *self)
{
    Generator *generator = as_generator(self);
    if (refuse_if_running(generator)) {
        return nullptr;
    }
    if (generator->resume_point == kGeneratorFinished) {
        return nullptr;
    }
    return resume(generator, Py_None);
}

PyObject *generator_send(PyObject *self, PyObject *value)
{
    Generator *generator = as_generator(self);
    if (refuse_if_running(generator)) {
        return nullptr;
    }
    PyObject *result =
        generator->resume_point == kGeneratorFinished ? nullptr : resume(generator, value);
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetNone(PyExc_StopIteration);
    }
    return result;
}

// The send slot, used when a Python generator delegates with `yield from`.
PySendResult generator_am_send(PyObject *self, PyObject *value, PyObject **result)
{
    Generator *generator = as_generator(self);
    *result = nullptr;
    if (refuse_if_running(generator)) {
        return PYGEN_ERROR;
    }
    if (generator->resume_point != kGeneratorFinished) {
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
    if (refuse_if_running(generator)) {
        return nullptr;
    }
    // Forming the exception may call Python code (the exception class), which
    // counts as running the generator.
    generator->running = true;
    set_thrown_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    generator->running = false;
    if (generator->resume_point == kGeneratorFinished) {
        return nullptr;
    }
    return resume(generator, nullptr);
}

// close() raises GeneratorExit where the body stands.  A body catches
// nothing, so the exception would leave it at once, with the body's traceback
// entry, and close() would swallow it again: nothing could ever see either.
// Finishing the generator has the same outcome without making them.
PyObject *generator_close(PyObject *self, PyObject *)
{
    Generator *generator = as_generator(self);
    if (refuse_if_running(generator)) {
        return nullptr;
    }
    if (generator->resume_point != kGeneratorFinished) {
        finish_generator(generator);
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
    if (as_generator(self)->resume_point <= 0) {
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
    Generator *generator = as_generator(self);
    Py_VISIT(generator->state);
    Py_VISIT(generator->code);
    Py_VISIT(generator->frame);
    Py_VISIT(generator->name);
    Py_VISIT(generator->qualname);
    Py_VISIT(generator->module_name);
    return 0;
}

int generator_clear(PyObject *self)
{
    finish_generator(as_generator(self));
    return 0;
}

// Generators are recycled last in, first out, as their bodies' records
// are, so that iterating colour after colour allocates nothing.  A slot
// keeps the object's memory with its collector header; 32 of them (about
// 3 KB) cover a good many iterators alive at once.
constexpr int kGeneratorFreeListCapacity = 32;
Generator *free_generators[kGeneratorFreeListCapacity];
int free_generator_count = 0;

// A generator that the collector has finalised keeps that mark in its
// header, which a reused one must not carry: such a one is freed instead.
void release_generator_memory(Generator *generator)
{
    PyObject *self = reinterpret_cast<PyObject *>(generator);
    if (free_generator_count < kGeneratorFreeListCapacity && !PyObject_GC_IsFinalized(self)) {
        free_generators[free_generator_count++] = generator;
    } else {
        PyObject_GC_Del(self);
    }
}

Generator *allocate_generator()
{
    if (free_generator_count > 0) {
        Generator *generator = free_generators[--free_generator_count];
        (void)PyObject_Init(reinterpret_cast<PyObject *>(generator), &GeneratorType);
        return generator;
    }
    return PyObject_GC_New(Generator, &GeneratorType);
}

// A generator dropped half-way is closed, which only finishes it (see
// generator_close): that releases the body's state but runs nothing that
// could reach this generator again, so the finaliser's guard against
// resurrection is not needed here.
void generator_dealloc(PyObject *self)
{
    Generator *generator = as_generator(self);
    PyObject_GC_UnTrack(self);
    if (generator->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    finish_generator(generator);
    release_generator_memory(generator);
}

PyObject *generator_get_running(PyObject *self, void *)
{
    return PyBool_FromLong(as_generator(self)->running);
}

// True only while the body waits at a yield, as inspect.getgeneratorstate
// asks.
PyObject *generator_get_suspended(PyObject *self, void *)
{
    const Generator *generator = as_generator(self);
    return PyBool_FromLong(generator->resume_point > 0 && !generator->running);
}

#if PY_VERSION_HEX >= 0x030F0000
// 3.15's generators name their state in gi_state, which is what
// inspect.getgeneratorstate reads there.
PyObject *generator_get_state(PyObject *self, void *)
{
    const Generator *generator = as_generator(self);
    const char *state = generator->running                              ? "GEN_RUNNING"
                        : generator->resume_point == 0                  ? "GEN_CREATED"
                        : generator->resume_point == kGeneratorFinished ? "GEN_CLOSED"
                                                                        : "GEN_SUSPENDED";
    return PyUnicode_FromString(state);
}
#endif

PyObject *generator_get_yieldfrom(PyObject *, void *)
{
    Py_RETURN_NONE;
}

// Making the frame looks names up in the module's namespace, which can run
// Python code that closes this generator or reads gi_frame itself: what that
// code left stands, and the frame made here is kept only if the generator is
// still unfinished and still has none.
PyObject *generator_get_frame(PyObject *self, void *)
{
    Generator *generator = as_generator(self);
    if (generator->frame == nullptr && generator->code != nullptr) {
        OwnedRef code(Py_NewRef(generator->code));  // closing meanwhile drops the generator's
        OwnedRef frame(reinterpret_cast<PyObject *>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
                        module_dict, nullptr)));
        if (!frame) {
            return nullptr;
        }
        if (generator->frame == nullptr && generator->code != nullptr) {
            generator->frame = frame.release();
        }
    }
    return attributes::new_ref_or_none(generator->frame);
}

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O,
     PyDoc_STR("send(arg) -> send 'arg' into generator,\n"
               "return next yielded value or raise StopIteration.")},
    {"throw", as_pycfunction<generator_throw>(), METH_FASTCALL,
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
    {"gi_code", attr::get<Generator, &Generator::code>, nullptr, nullptr, nullptr},
    {"gi_frame", generator_get_frame, nullptr, nullptr, nullptr},
    {"__name__", attr::get<Generator, &Generator::name>,
     attr::set_name<Generator, &Generator::name>, nullptr, nullptr},
    {"__qualname__", attr::get<Generator, &Generator::qualname>,
     attr::set_qualname<Generator, &Generator::qualname>, nullptr, nullptr},
    {"__module__", attr::get<Generator, &Generator::module_name>,
     attr::set_any<Generator, &Generator::module_name>, nullptr, nullptr},
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

PyObject *new_generator(GeneratorBody body, PyObject *state, PyObject *code, PyObject *name,
                        PyObject *qualname)
{
    Generator *generator = allocate_generator();
    if (generator == nullptr) {
        return nullptr;
    }
    generator->body = body;
    generator->state = state;
    generator->code = Py_NewRef(code);
    generator->frame = nullptr;
    generator->name = Py_NewRef(name);
    generator->qualname = Py_NewRef(qualname);
    generator->module_name = Py_NewRef(module_name);
    generator->weakrefs = nullptr;
    generator->resume_point = 0;
    generator->running = false;
    PyObject_GC_Track(generator);
    return reinterpret_cast<PyObject *>(generator);
}

// Releasing the state may run arbitrary code (a colour subclass's __del__)
// that looks at this generator: it must find it finished, not running and
// holding nothing, so every field is cleared before anything is released.
void finish_generator(Generator *generator)
{
    generator->resume_point = kGeneratorFinished;
    generator->running = false;
    PyObject *state = generator->state;
    PyObject *code = generator->code;
    PyObject *frame = generator->frame;
    PyObject *name = generator->name;
    PyObject *qualname = generator->qualname;
    PyObject *module = generator->module_name;
    generator->state = generator->code = generator->frame = nullptr;
    generator->name = generator->qualname = generator->module_name = nullptr;
    Py_XDECREF(code);
    Py_XDECREF(frame);
    Py_XDECREF(name);
    Py_XDECREF(qualname);
    Py_XDECREF(module);
    Py_XDECREF(state);
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
