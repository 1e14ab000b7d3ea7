// Argument binding of the module's functions: one parameter, by position or by keyword.
// There is no default, and nothing is collected.
#include "function_type.hpp"

#include "../host/calls.hpp"

#include <new>
#include <vector>

namespace patch_eus {

namespace {

const char kSubclassNote[] =
    "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin "
    "types. If you need to pass subclasses then set the 'annotation_typing' directive to False.";

PyObject* count_error(const FunctionSpec& spec, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name->c_str(), "exactly", static_cast<Py_ssize_t>(1), "", given);
    return nullptr;
}


int check_exact_str(PyObject* arg) {
    PyTypeObject* type = Py_TYPE(arg);
    if (type == &PyUnicode_Type) return 0;
    // Subclasses of str get the note after ". ", anything else nothing.
    // The interpreter's own subtype test reads the type's MRO when it has
    // one, and its chain of bases otherwise.
    const bool subclass = PyType_IsSubtype(type, &PyUnicode_Type);
    Ref note = subclass ? Ref::steal(PyUnicode_FromString(kSubclassNote)) : Ref::borrow(empty_text);
    if (!note) return -1;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", "d", "str",
                 type->tp_name, subclass ? ". " : "", note.get());
    return -1;
}

// 1 when the keyword `name` is the parameter, 0 when it is another name, -1
// on error (name not a string, or its comparison raised).
int is_parameter(const FunctionSpec& spec, PyObject* name) {
    PyObject* param = *spec.param;
    if (name == param) return 1;
    if (PyUnicode_CheckExact(name)) {
        if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(param)) return 0;
        return PyUnicode_Compare(name, param) == 0 ? 1 : 0;
    }
    if (PyUnicode_Check(name)) {
        Ref equal = Ref::steal(PyObject_RichCompare(name, param, Py_EQ));
        if (!equal) return -1;
        return PyObject_IsTrue(equal.get());
    }
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name->c_str());
    return -1;
}

// Binds the one argument; a new reference, or NULL with the exception set.
PyObject* bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != 1) return count_error(spec, nargs);
        Py_INCREF(args[0]);
        return args[0];
    }
    if (nargs >= 2) return count_error(spec, nargs);
    Ref bound = nargs == 1 ? Ref::borrow(args[0]) : Ref();
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        int match = is_parameter(spec, name);
        if (match < 0) return nullptr;
        if (match == 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.name->c_str(), name);
            return nullptr;
        }
        if (bound) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name->c_str(), name);
            return nullptr;
        }
        bound = Ref::borrow(args[nargs + k]);
    }
    // Every name was the parameter (any other ended the loop): bound.
    return bound.release();
}

}  // namespace

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(self);
    const FunctionSpec& spec = *f->spec;
    Ref arg = Ref::steal(bind(spec, args, PyVectorcall_NARGS(nargsf), kwnames));
    if (!arg) return Failure(spec.where, f->globals).at(spec.line);
    if (spec.exact_str && check_exact_str(arg.get()) < 0) return nullptr;
    // Keep the globals alive for the body even if the function is dropped
    // meanwhile.
    Ref globals = Ref::borrow(f->globals);
    // The bodies call back into Python (rebindable globals, duckdb, pandas);
    // a rebinding that leads back here must hit the recursion limit rather
    // than exhaust the C stack.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = spec.body(globals.get(), arg.get());
    Py_LeaveRecursiveCall();
    return result;
}

namespace {

// The generic form turned into the vector form.
PyObject* call_with_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return function_vectorcall(self, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(nargs),
                                   nullptr);
    }
    // The dict's keys become the keyword names and its values follow the
    // positional arguments, both in the dict's order.  Every key must be a
    // string before anything is bound.
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    std::vector<Ref> held;
    held.reserve(static_cast<size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) held.push_back(Ref::borrow(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    // No Python code runs here, so the dict stays as it is.
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return nullptr;
        }
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k, key);
        held.push_back(Ref::borrow(value));
        ++k;
    }
    std::vector<PyObject*> vector;
    vector.reserve(held.size());
    for (const Ref& r : held) vector.push_back(r.get());
    return function_vectorcall(self, vector.data(), static_cast<size_t>(nargs), kwnames.get());
}

}  // namespace

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        return call_with_dict(self, args, kwargs);
    } catch (...) {  // std::bad_alloc: the only exception thrown here
        return PyErr_NoMemory();
    }
}

}  // namespace patch_eus
