// A strong reference that is released when it goes out of scope. Never kept
// in a frame a signal jump can abandon: only ordinary-context code uses it.
#pragma once

#include <Python.h>

namespace talvex {

class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject *owned) : p_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.release()) {}
    ~Ref() { Py_XDECREF(p_); }
    PyObject *get() const { return p_; }
    PyObject *release()
    {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject *owned)
    {
        PyObject *old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

}  // namespace talvex
