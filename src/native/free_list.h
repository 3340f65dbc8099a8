// Free lists: the memory of released objects of one type, kept to serve the
// next objects of that type without a call into the allocator, last in,
// first out, as CPython keeps its floats and tuples.  A list is a plain
// process-wide array that the interpreter lock guards; the free-threaded
// build keeps none (see kUseFreeLists), so there every call is a miss.
#ifndef VANTEL_COLOR_FREE_LIST_H
#define VANTEL_COLOR_FREE_LIST_H

#include <Python.h>

#include "shared_memory.h"

namespace vantel::color {

template <class T, int Capacity> class FreeList {
public:
    bool empty() const noexcept { return !kUseFreeLists || top_ == items_; }

    // The memory released last, made a new object of `type` (reference
    // count 1, not tracked by the collector); the list must not be empty.
    // The caller sets every field of the object.
    T *take(PyTypeObject *type) noexcept
    {
        T *object = *--top_;
        (void)PyObject_Init(reinterpret_cast<PyObject *>(object), type);
        return object;
    }

    // Keeps the memory of `object`, which is dead, if there is room: true;
    // otherwise the caller frees it.
    bool keep(T *object) noexcept
    {
        if (!kUseFreeLists || top_ == items_ + Capacity) {
            return false;
        }
        *top_++ = object;
        return true;
    }

private:
    T *items_[Capacity] = {};
    T **top_ = items_;  // above the memory released last
};

}  // namespace vantel::color

#endif
