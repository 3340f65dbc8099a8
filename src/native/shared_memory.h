// Memory that threads read and write at the same time without a lock.  On a
// free-threaded interpreter nothing serialises two threads that use one
// object, so every such access is atomic: a relaxed load or store where each
// access stands alone (a channel byte, a flag), and acquire/release where one
// thread publishes an object that another then uses (a cache made on first
// use).
#ifndef VANTEL_COLOR_SHARED_MEMORY_H
#define VANTEL_COLOR_SHARED_MEMORY_H

#include <Python.h>

#include <atomic>

namespace vantel::color {

// A relaxed load and store.  With the interpreter lock, which orders every
// access of the module's memory, they are the plain accesses they stand for,
// and the compiler keeps its freedom to combine them.
template <class T> T load_relaxed(const T &place) noexcept
{
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<T>(const_cast<T &>(place)).load(std::memory_order_relaxed);
#else
    return place;
#endif
}

template <class T> void store_relaxed(T &place, T value) noexcept
{
#ifdef Py_GIL_DISABLED
    std::atomic_ref<T>(place).store(value, std::memory_order_relaxed);
#else
    place = value;
#endif
}

// A sequentially consistent store and load, for two threads that meet
// without a lock (a generator that finishes while another reads gi_frame):
// each stores its own mark and then loads the other's, all four accesses in
// one total order, so that at least one of them sees the other's mark.
template <class T> void store_ordered(T &place, T value) noexcept
{
#ifdef Py_GIL_DISABLED
    std::atomic_ref<T>(place).store(value, std::memory_order_seq_cst);
#else
    place = value;
#endif
}

template <class T> T load_ordered(const T &place) noexcept
{
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<T>(const_cast<T &>(place)).load(std::memory_order_seq_cst);
#else
    return place;
#endif
}

// A process-wide cache made on first use: a pointer slot, null until an
// object is published in it, which then stays for the life of the process.
// Threads that find it empty may each make the object, but only the first
// one publishes it; the others release theirs and use the published one.
// Nothing is locked while the object is made, since making it can run a
// finaliser that reaches the same cache again.
template <class T> T *load_published(T *const &slot) noexcept
{
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<T *>(const_cast<T *&>(slot)).load(std::memory_order_acquire);
#else
    return slot;
#endif
}

// Stores `value` for readers that load the slot with load_published; the
// caller owns what the slot held before and must keep it alive.
template <class T> void store_published(T *&slot, T *value) noexcept
{
#ifdef Py_GIL_DISABLED
    std::atomic_ref<T *>(slot).store(value, std::memory_order_release);
#else
    slot = value;
#endif
}

// Publishes `made`, a new reference, unless another thread published first;
// returns the published object, borrowed.
template <class T> T *publish_once(T *&slot, T *made) noexcept
{
    T *published = nullptr;
    if (std::atomic_ref<T *>(slot).compare_exchange_strong(published, made,
                                                           std::memory_order_acq_rel,
                                                           std::memory_order_acquire)) {
        return made;
    }
    Py_DECREF(made);
    return published;
}

}  // namespace vantel::color

#endif
