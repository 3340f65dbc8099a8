// A strong reference that releases itself: the one piece of RAII the module
// needs for objects it creates on paths with several ways out.
#ifndef VANTEL_COLOR_OWNED_REF_H
#define VANTEL_COLOR_OWNED_REF_H

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

}  // namespace vantel::color

#endif
