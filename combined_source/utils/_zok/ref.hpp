// Owned references: every new reference is held by a Ref from the line it is
// born on, so early returns on error release everything.
#pragma once

#include "compat.hpp"

#include <utility>

namespace zok {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        // Drop the old value last: its destructor may run Python code that
        // must not see this Ref half-assigned.
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace zok
