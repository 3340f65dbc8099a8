// The module's two pieces of RAII, so that every early return releases or
// restores what it must: a strong reference that releases itself, and an
// exception set aside while other calls run.
//
// The ownership rule of the module.  When a function holds an owned
// reference across an error path (a call that can fail, and the early
// return after it), it holds it in an OwnedRef, which releases it on every
// return, and hands it on with release().  A hot path may release by hand
// where the release is on the next line after the failure it handles, as
// Color(...) does with the colour it made.  Borrowed references are plain
// pointers and are never released; a reference stored in an object's field
// is that object's, released by its clear or dealloc, and a process-wide
// constant's is never released.
#ifndef VANTEL_COLOR_REFERENCES_H
#define VANTEL_COLOR_REFERENCES_H

#include <Python.h>

namespace vantel::color {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over `object`, which may be null (a failed call).
    explicit OwnedRef(PyObject *object) noexcept : object_(object) {}
    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    OwnedRef(OwnedRef &&other) noexcept : object_(other.release()) {}
    OwnedRef &operator=(OwnedRef &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject *get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller.
    PyObject *release() noexcept
    {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }

    void reset(PyObject *object = nullptr) noexcept
    {
        PyObject *old = object_;
        object_ = object;
        Py_XDECREF(old);
    }

private:
    PyObject *object_ = nullptr;
};

// Takes the pending exception (if any) out of the thread state and puts it
// back when it goes out of scope, so that the calls in between run as if no
// exception were pending.
class SavedException {
public:
    SavedException() noexcept : exception_(PyErr_GetRaisedException()) {}
    SavedException(const SavedException &) = delete;
    SavedException &operator=(const SavedException &) = delete;
    ~SavedException()
    {
        if (keep_) {
            PyErr_SetRaisedException(exception_);
        }
    }

    // Drops the saved exception: whatever is pending at the end of the scope
    // (the error of a call in between, say) stays pending instead.
    void discard() noexcept
    {
        Py_CLEAR(exception_);
        keep_ = false;
    }

private:
    PyObject *exception_;
    bool keep_ = true;
};

}  // namespace vantel::color

#endif
