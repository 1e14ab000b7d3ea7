// Text and Number: interned texts and integers, declared by the code that uses them.
// Each constant registers itself when the library is loaded; make_constants()
// builds the Python objects once, when the module is executed, and they live
// for the life of the process.
#pragma once

#include "ref.hpp"

namespace patch_eus {

class Constant {
public:
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    // Borrowed; valid once make_constants() has succeeded.
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

    // Every constant of the library, from first_constant() on, in the
    // reverse order of their registration.
    const Constant* next() const noexcept { return next_; }

protected:
    Constant() noexcept;
    ~Constant() = default;

private:
    friend int make_constants();
    virtual PyObject* make() const = 0;

    PyObject* object_ = nullptr;
    Constant* next_ = nullptr;
};

// An interned str.
class Text final : public Constant {
public:
    explicit Text(const char* value) noexcept : value_(value) {}
    const char* c_str() const noexcept { return value_; }

private:
    PyObject* make() const override;
    const char* value_;
};

// An int.
class Number final : public Constant {
public:
    explicit Number(long value) noexcept : value_(value) {}

private:
    PyObject* make() const override;
    long value_;
};

// Builds every constant not built yet.  0, or -1 with an exception set (a
// later call retries what is missing).
int make_constants();

// The last constant registered, or NULL when there is none.
const Constant* first_constant() noexcept;

}  // namespace patch_eus
