// Free lists: the memory of released objects of one type, kept to serve the
// next objects of that type without a call into the allocator, last in,
// first out, as CPython keeps its floats and tuples.
//
// One interface for both builds: free_list<List>() is the list to push to
// and pop from.  With the interpreter lock it is one process-wide list,
// which that lock guards.  Without it, each thread has its own, in C++
// thread-local storage, which no other thread and no Python code can reach.
//
// What releases a list's memory:
//   - the process-wide list: nothing; it lives as long as the process, and a
//     forked child goes on with its copy (the forking thread holds the
//     interpreter lock, so no other thread is changing it).
//   - a thread's list, when the thread ends (however it ran Python: a
//     threading.Thread, _thread, or a C thread through PyGILState_Ensure):
//     a thread-local destructor, registered by the list's first push.  It
//     runs after the thread's last thread state is gone, so it cannot free
//     objects; it hands them to the type's orphans, and the next thread
//     whose list runs dry takes them over and frees those it has no room
//     for.  A thread state cleared or made anew on a living thread changes
//     nothing: the list belongs to the thread.
//   - in a forked child, the lists of the threads that did not survive the
//     fork are copied with the rest of their memory and never used again,
//     at most Capacity objects a thread.
// The memory a thread's list serves may come from another thread's heap (the
// thread that released the object last keeps it), which the allocator
// allows, as it does for CPython's own per-thread free lists.
#ifndef VANTEL_COLOR_FREE_LIST_H
#define VANTEL_COLOR_FREE_LIST_H

#include <Python.h>

#include <cstddef>

#ifdef Py_GIL_DISABLED
#include <atomic>
#include <cstring>
#endif

namespace vantel::color {

template <class T, int Capacity> class FreeList {
public:
    // Takes the memory released last into `object`: false if there is
    // none.  The caller makes it an object again (PyObject_Init) and sets
    // every field.
    bool pop(T *&object) noexcept
    {
        if (count_ > 0) [[likely]] {
            object = items_[--count_];
            return true;
        }
#ifdef Py_GIL_DISABLED
        return adopt_orphans() && pop(object);
#else
        return false;
#endif
    }

    // Keeps the memory of `object`, which is dead, if there is room: true;
    // otherwise the caller frees it.
    bool push(T *object) noexcept
    {
        if (count_ == Capacity) {
            return false;
        }
#ifdef Py_GIL_DISABLED
        if (!handed_over_at_thread_end_) [[unlikely]] {
            return push_first(object);
        }
#endif
        items_[count_++] = object;
        return true;
    }

private:
#ifdef Py_GIL_DISABLED
    // The first push of each thread: arranges for the list to be handed to
    // the orphans when the thread ends.  The list itself has no destructor,
    // so that its thread-local storage needs no guard on every use.  (The
    // slow paths are calls of their own, so that the fast ones find the
    // list's thread-local address once.)
    [[gnu::noinline]] bool push_first(T *object) noexcept
    {
        struct AtThreadEnd {
            FreeList *list;
            ~AtThreadEnd() { list->give_to_orphans(); }
        };
        static thread_local AtThreadEnd at_thread_end{this};
        handed_over_at_thread_end_ = true;
        return push(object);
    }

    // The thread is ending and has no thread state left: the objects go to
    // the type's orphans, with nothing that can fail or wait.
    void give_to_orphans() noexcept
    {
        while (count_ > 0) {
            T *object = items_[--count_];
            T *head = orphans_.load(std::memory_order_relaxed);
            do {
                set_next_orphan(object, head);
            } while (!orphans_.compare_exchange_weak(head, object, std::memory_order_release,
                                                     std::memory_order_relaxed));
        }
    }

    // The objects that ended threads left, linked through their dead memory
    // past the object header (which PyObject_GC_Del still reads).  Threads
    // only ever push one and take all, so a node cannot come back while a
    // push holds it.
    static inline std::atomic<T *> orphans_{nullptr};

    static_assert(sizeof(T) >= sizeof(PyObject) + sizeof(T *));

    static void set_next_orphan(T *object, T *next) noexcept
    {
        std::memcpy(reinterpret_cast<char *>(object) + sizeof(PyObject), &next, sizeof next);
    }

    static T *next_orphan(T *object) noexcept
    {
        T *next;
        std::memcpy(&next, reinterpret_cast<char *>(object) + sizeof(PyObject), sizeof next);
        return next;
    }

    // Fills this empty list from the orphans, if any, and frees the rest,
    // this thread having a thread state to free them with.  Returns whether
    // the list has objects now.
    [[gnu::noinline]] bool adopt_orphans() noexcept
    {
        if (orphans_.load(std::memory_order_relaxed) == nullptr) {
            return false;
        }
        T *orphan = orphans_.exchange(nullptr, std::memory_order_acquire);
        while (orphan != nullptr) {
            T *next = next_orphan(orphan);
            if (!push(orphan)) {
                PyObject_GC_Del(orphan);
            }
            orphan = next;
        }
        return count_ > 0;
    }

    bool handed_over_at_thread_end_ = false;
#endif

    T *items_[Capacity] = {};
    std::ptrdiff_t count_ = 0;
};

// The free list of type List (a FreeList) that this thread may use.
template <class List> List &free_list() noexcept
{
#ifdef Py_GIL_DISABLED
    static thread_local constinit List list;
#else
    static constinit List list;
#endif
    return list;
}

}  // namespace vantel::color

#endif
