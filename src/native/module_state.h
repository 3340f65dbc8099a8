// Process-wide state that module execution builds and the rest of the module
// reads.  The module can be loaded into one interpreter only, and exec runs
// one at a time in the process (module.cpp), so this state is written by one
// thread at a time, and only by exec.  One rule keeps it safe to read from
// any thread without a lock: nothing here is ever released or replaced
// while a reader may hold it.  Each constant is made once, by the first
// exec that gets that far, and kept: an exec retried after a failure finds
// it made (objects of the failed attempt, a reachable Color, may be using
// it).  The caches that the module makes on first use follow the same rule
// (publish_once in shared_memory.h).
#ifndef VANTEL_COLOR_MODULE_STATE_H
#define VANTEL_COLOR_MODULE_STATE_H

#include <Python.h>

#include <cstdint>

namespace vantel::color {

// The module's namespace: the globals of every traceback frame it adds.  The
// one entry a retried exec changes, to the namespace of its new module; the
// namespace it replaces is kept alive, as a thread making a traceback entry
// may be holding it borrowed.
extern PyObject *module_dict;

// Makes `dict` the module's namespace (exec only).
void set_module_dict(PyObject *dict);

// The shared empty tuple handed to creation when no arguments matter.
extern PyObject *empty_tuple;

// "vantel.color.color", the `__module__` of the module's functions and
// generators.
extern PyObject *module_name;

// The interpreter's shared ints 0..255, one per byte value, so that reading
// a channel is a table lookup that cannot fail.
extern PyObject *channel_values[256];

inline PyObject *channel_value(uint8_t byte) noexcept
{
    return Py_NewRef(channel_values[byte]);
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

// Makes the state above, at module execution.
int make_shared_constants();

}  // namespace vantel::color

#endif
