// Ref: the owning reference to a Python object.
// It is the one place where reference counts are released, so every exit
// from a function, normal or failing, drops what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace patch_eus {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (possibly NULL after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Gives the reference away to the caller.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // A new reference for the caller; this one stays.
    PyObject* newref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace patch_eus
