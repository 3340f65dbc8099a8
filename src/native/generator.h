// A generator object whose body is a C function: the whole generator
// protocol (next, send, throw with the raise rule, close, the running flag,
// the finaliser and the gi_* attributes), as CPython's own generators answer
// it.  The body decides what each resumption yields; this file decides how
// values and exceptions reach it and what Python sees of its state.
#ifndef VANTEL_COLOR_GENERATOR_H
#define VANTEL_COLOR_GENERATOR_H

#include <Python.h>

#include "shared_memory.h"
#include "traceback_entry.h"

namespace vantel::color {

struct Generator;

// The body of the module's generators, defined by their one user (the
// iteration over a Color, iteration.cpp): a function the compiler sees
// rather than a pointer in each generator, so that next() calls it directly
// and, inlining it, drops its tests for a sent value and a pending
// exception.  It resumes from generator->resume_point, with the generator
// claimed by this thread.  `sent` is the value handed in (None for next()),
// or null when an exception is pending that must be raised where the body
// stands.  Returns the next value, after suspend_generator(); or ends the
// body with finish_generator() or leave_generator_with_exception() and
// returns their null.  Either way the claim is released.  The body has no
// exception handler: an exception raised where it stands always leaves it,
// so close() finishes the generator without resuming the body.
PyObject *resume_generator_body(Generator *generator, PyObject *sent);

// Resume points: 0 before the body has started, positive while it is
// suspended at a yield, kGeneratorFinished once it has ended.
inline constexpr int kGeneratorFinished = -1;

// A generator's name, qualified name, module name and code object are the
// iteration's constants, which live as long as the process: an unfinished
// generator whose field is empty reports the constant, and holds only what
// Python code assigned to it.  So making and finishing a generator count no
// references to them, which without the interpreter lock would also be
// memory that every thread's cores take in turn.  The code object has no
// field: nothing can assign it.
struct Generator {
    PyObject_HEAD
    PyObject *state;  // the body's own record, owned by the generator
    PyObject *frame;
    PyObject *name;
    PyObject *qualname;
    PyObject *module_name;
    PyObject *weakrefs;
    int resume_point;
    bool running;  // claimed atomically: see generator.cpp
};

// Suspends the body at the resume point `point`, after it has made the
// value it yields: the generator is released to the next thread that
// resumes it, so the body touches nothing of it afterwards.
void suspend_generator(Generator *generator, int point);

// A new generator that runs the body over `state`, taking over the reference
// to `state`; or null with an exception set, and `state` still the caller's.
PyObject *new_generator(PyObject *state);

// Ends the body normally: the generator releases what it holds and finishes.
void finish_generator(Generator *generator);

// Ends the body with the pending exception, which gets the entry `label`;
// a StopIteration may not leave a generator and becomes RuntimeError.
// Returns null.
PyObject *leave_generator_with_exception(Generator *generator, Label label);

// Module execution: readies the generator type.
int ready_generator_type();

}  // namespace vantel::color

#endif
