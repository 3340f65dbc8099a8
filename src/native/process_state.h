// Everything the module keeps for the whole process, in one structure.
//
// The module can be loaded into one interpreter only, so this state is the
// process's, and one rule keeps it safe to read from any thread without a
// lock: nothing here that a reader may hold is ever released or replaced.
// Each kind of state keeps the rule in its own way:
//
//   constants  Made by exec, whose claim lets one run at a time, once: an
//              exec retried after a failure finds them made and keeps them,
//              as objects of the failed attempt (a reachable Color) may be
//              using them.  Read without a lock once made.
//   caches     Made on first use by whichever thread needs them first and
//              published once (publish_once in shared_memory.h); read with
//              load_published.
//   namespace  The one entry a retried exec replaces, with the namespace of
//              its new module.  Published atomically; the namespace it
//              replaces is kept alive, as a thread making a traceback entry
//              may be holding it borrowed.
//   import     Create and exec's own bookkeeping (the owner, the instance
//              and its claim); see each field.
//
// Nothing here is ever released: it lives until the process ends, and a
// forked child goes on with its copy (an exec that another thread was
// running at the fork then stays claimed, and the child's imports get its
// module as it stands).
//
// The static type objects, the method table and the GIL build's free list
// are process-wide as well; they are data of their own files, made before
// any of this.
#ifndef VANTEL_COLOR_PROCESS_STATE_H
#define VANTEL_COLOR_PROCESS_STATE_H

#include <Python.h>

#include <cstdint>

#include "error_messages.h"
#include "traceback_entry.h"

namespace vantel::color {

struct ProcessState {
    struct Constants {
        // The interpreter's shared ints 0..255, one per byte value, so that
        // reading a channel is a table lookup that cannot fail.
        PyObject *channel_values[256];
        // Handed to creation when no arguments matter.
        PyObject *empty_tuple;
        // "vantel.color.color", the `__module__` of the module's functions
        // and generators.
        PyObject *module_name;
        // "r", "g", "b", "a", interned: Color's parameters.
        PyObject *parameter_names[4];
        // "__pyx_state", interned: __setstate_cython__'s parameter.
        PyObject *state_parameter_name;
        // The text of the pickling refusal.
        PyObject *pickling_refusal;
        // "__iter__" and "Color.__iter__": every iterator's names.
        PyObject *iter_name;
        PyObject *iter_qualname;
        // The code objects that iterators report as gi_code and the module
        // functions as __code__.  The free-threaded build's generators borrow
        // theirs (generator.h), which needs it to live as long as the process.
        PyObject *iter_code;
        PyObject *reduce_cython_code;
        PyObject *setstate_cython_code;
        // Where the interpreter's shared ints 0..255 lie, when they lie in one
        // array (construction.cpp): the address of 0 and the array's size in
        // bytes, or a size of 0.  Without the GIL a retried exec may store
        // these while other threads construct: every access is atomic.
        uintptr_t shared_int_zero;
        uintptr_t shared_int_limit;
        bool shared_ints_searched;
    } constants;

    struct Caches {
        // Each traceback label's empty code object: the set of labels is
        // fixed and small, and an error path then pays only for its frame.
        PyCodeObject *label_codes[static_cast<int>(Label::Count)];
        // "__init__() takes at least 3 positional arguments (N given)", N
        // being 0, 1 or 2: a call that falls short usually keeps falling
        // short the same way.
        PyObject *too_few_arguments[3];
        FixedMessage integer_required{"an integer is required"};
    } caches;

    // The module's namespace: the globals of every traceback frame it adds.
    PyObject *module_dict;

    struct Import {
        // The first interpreter that creates the module, set once by compare
        // and swap; never reset.
        int64_t owning_interpreter = -1;
        // The one module instance, claimed by exec under its guard
        // (module.cpp), read by create under it; given up again only by the
        // exec that claimed it and failed, never once it has succeeded.
        PyObject *module_instance;
        // Whether the running exec registered the module under its fixed
        // key: only the thread whose exec holds the claim reads or writes it.
        bool registered_by_exec;
    } import;
};

extern constinit ProcessState process;

inline PyObject *channel_value(uint8_t byte) noexcept
{
    return Py_NewRef(process.constants.channel_values[byte]);
}

// Makes the constant in `slot` with `make`, which returns a new reference or
// null with an exception set, unless an earlier exec made it; returns 0, or
// -1 when `make` fails.
template <class Make> int make_constant(PyObject *&slot, Make make)
{
    if (slot == nullptr) {
        slot = make();
    }
    return slot != nullptr ? 0 : -1;
}

// Makes the constants that no one file owns (exec only).
int make_shared_constants();

// Makes `dict` the module's namespace (exec only).
void set_module_dict(PyObject *dict);

}  // namespace vantel::color

#endif
