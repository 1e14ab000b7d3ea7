// The module's own function type: it looks and behaves like a Python function and binds its one argument itself.
// Attributes, binding as a method and pickling by name are the interpreter's
// function's; calls go through the vectorcall protocol to the argument
// binding.
#pragma once

#include "../host/constants.hpp"
#include "../host/failure.hpp"

namespace patch_eus {

// What differs between the two functions: how their argument is bound and
// checked, and the body run with it.
struct FunctionSpec {
    const Text* name;  // the function's name, in binding messages too
    const Text* param; // the parameter's name
    bool exact_str;    // reject anything whose type is not exactly str
    Where where;       // traceback entry of binding failures
    int line;          // ... and its line
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

// Readies the type once, with `extra` (a table ending in an empty entry,
// living as long as the process; not NULL) among its methods after the
// function's own.
// -1 with an exception set on failure.
int ready_function_type(const PyMethodDef* extra);

// A new function object named after `spec`, its __module__ the module's
// full name.  New reference or NULL.
PyObject* new_function(const FunctionSpec* spec, PyObject* doc, PyObject* globals, PyObject* code,
                       PyObject* annotations);

// The call entry points (argument binding).
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace patch_eus
