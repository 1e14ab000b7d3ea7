// The module's own function type: an object that looks and behaves like a
// Python function (attributes, binding as a method, pickling by name) and is
// called through the vectorcall protocol with the module's argument binding.
#pragma once

#include "runtime.hpp"

namespace patch_eus {

// What differs between the two functions: how their argument is bound and
// checked, and the body run with it.
struct FunctionSpec {
    const char* name;        // the name in binding messages
    PyObject* const* param;  // the interned parameter name
    bool exact_str;          // reject anything whose type is not exactly str
    Where where;             // traceback entry of binding failures
    int line;                // ... and its line
    // The body, given the module's globals and the bound argument.
    PyObject* (*body)(PyObject* globals, PyObject* arg);
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* weakrefs;
};

// Readies the type once; -1 with an exception set on failure.
int ready_function_type();

// A new function object; name and qualname are `name`, the module text is
// fixed.  New reference or NULL.
PyObject* new_function(const FunctionSpec* spec, PyObject* name, PyObject* doc,
                       PyObject* globals, PyObject* code, PyObject* annotations);

// The call entry points (argument binding).
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace patch_eus
