// Free lists: the memory of released objects of one type, kept to serve the
// next objects of that type without a call into the allocator, last in,
// first out, as CPython keeps its floats and tuples.  A list is a plain
// process-wide array that the interpreter lock guards; the free-threaded
// build uses ThreadFreeList below instead, one list per thread.
#ifndef VANTEL_COLOR_FREE_LIST_H
#define VANTEL_COLOR_FREE_LIST_H

#include <Python.h>

#include <cstdint>

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

#ifdef Py_GIL_DISABLED
// The free-threaded build's free lists: one per thread and type, so that no
// two threads ever share one.  A thread's list lives in its thread state's
// dictionary, under the type as key, in a capsule whose destructor frees
// what the list still holds: the interpreter clears that dictionary while
// the ending thread is still attached, so a thread that ends strands
// nothing.  The memory a list serves may come from another thread's heap
// (the thread that released the object last keeps it), which the allocator
// allows, as it does for CPython's own per-thread free lists.
template <class T, int Capacity> class ThreadFreeList {
public:
    // The memory released last by this thread, made a new object of `type`
    // (reference count 1, not tracked by the collector), or null if the
    // thread keeps none.  The caller sets every field of the object.
    static T *take(PyTypeObject *type) noexcept
    {
        Items *items = find(type);
        if (items == nullptr || items->count == 0) {
            return nullptr;
        }
        T *object = items->objects[--items->count];
        (void)PyObject_Init(reinterpret_cast<PyObject *>(object), type);
        return object;
    }

    // Keeps the memory of `object`, which is dead, in this thread's list
    // if there is room: true; otherwise the caller frees it.  The list is
    // made here when the thread has none; if making it fails, the error is
    // dropped and the object freed, as an exception may be pending.
    static bool keep(T *object, PyTypeObject *type) noexcept
    {
        Items *items = find(type);
        if (items == nullptr) {
            items = make(type);
        }
        if (items == nullptr || items->count == Capacity) {
            return false;
        }
        items->objects[items->count++] = object;
        return true;
    }

private:
    struct Items {
        PyThreadState *thread_state;  // whose dictionary holds the list
        uint64_t thread_id;
        int count;
        T *objects[Capacity];
    };

    static constexpr const char *kCapsuleName = "vantel.color.color.free_list";

    // This thread's list, without making it.  The dictionary look-up costs
    // more than the allocation it saves, so the list found last is kept in
    // a per-thread cache, valid only for the thread state it was found for:
    // a thread state is named by its address and its unique number, since
    // the address may serve another one later.  A cached null list marks a
    // thread state whose list is gone: it is being cleared.
    struct Cache {
        PyThreadState *thread_state;
        uint64_t thread_id;
        Items *items;
    };
    static inline thread_local Cache cache_{};

    static Items *find(PyTypeObject *type) noexcept
    {
        PyThreadState *thread_state = PyThreadState_GetUnchecked();
        Cache &cache = cache_;
        if (cache.thread_state == thread_state && cache.thread_id == thread_state->id)
            [[likely]] {
            return cache.items;
        }
        PyObject *dict = thread_state->dict;
        if (dict == nullptr) {
            return nullptr;
        }
        // The key is a type, hashed by address and compared by identity:
        // the look-up runs no code and cannot fail.
        PyObject *capsule = PyDict_GetItemWithError(dict, reinterpret_cast<PyObject *>(type));
        if (capsule == nullptr || !PyCapsule_IsValid(capsule, kCapsuleName)) {
            return nullptr;
        }
        auto *items = static_cast<Items *>(PyCapsule_GetPointer(capsule, kCapsuleName));
        cache = {thread_state, thread_state->id, items};
        return items;
    }

    static void destroy(PyObject *capsule) noexcept
    {
        auto *items = static_cast<Items *>(PyCapsule_GetPointer(capsule, kCapsuleName));
        // Code that runs later while the thread state is cleared must
        // neither find the list again nor make a new one, which nothing
        // would release.
        if (cache_.items == items) {
            cache_ = {items->thread_state, items->thread_id, nullptr};
        }
        while (items->count > 0) {
            PyObject_GC_Del(items->objects[--items->count]);
        }
        PyMem_RawFree(items);
    }

    static Items *make(PyTypeObject *type) noexcept
    {
        PyThreadState *thread_state = PyThreadState_GetUnchecked();
        if (cache_.thread_state == thread_state && cache_.thread_id == thread_state->id) {
            return nullptr;  // the list is gone with the thread state
        }
        PyObject *pending = PyErr_GetRaisedException();
        Items *items = nullptr;
        PyObject *dict = PyThreadState_GetDict();
        if (dict != nullptr) {
            items = static_cast<Items *>(PyMem_RawCalloc(1, sizeof(Items)));
        }
        if (items != nullptr) {
            items->thread_state = thread_state;
            items->thread_id = thread_state->id;
        }
        if (items != nullptr) {
            PyObject *capsule = PyCapsule_New(items, kCapsuleName, destroy);
            if (capsule == nullptr) {
                PyMem_RawFree(items);
                items = nullptr;
            } else {
                if (PyDict_SetItem(dict, reinterpret_cast<PyObject *>(type), capsule) < 0) {
                    items = nullptr;  // the capsule's destructor frees them
                }
                Py_DECREF(capsule);
            }
        }
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
        return items;
    }
};
#endif

}  // namespace vantel::color

#endif
