// Modules, classes and functions already loaded, found and checked without importing or running Python code.
//
// What these find is borrowed unless said otherwise.  NULL, or 0, means "not
// there" or "not so" with no exception set; an exception the lookup itself
// raised (the interpreter out of memory, say) is left set: NULL with
// PyErr_Occurred(), or -1.  They tell the fast paths whether what they
// shortcut is the libraries' own, unpatched.
#pragma once

#include "ref.hpp"

namespace patch_eus {

// An entry of a dict whose keys are strs.
PyObject* dict_entry(PyObject* dict, PyObject* key);

// The module sys.modules holds under `name`.
PyObject* loaded_module(PyObject* name);

// The class `name` of a module; `module` may be NULL.
PyTypeObject* class_of(PyObject* module, PyObject* name);

// What looking `name` up on instances of `type` finds in the classes of its
// method resolution order: the first entry of their dicts (a new
// reference).
PyObject* class_attribute(PyTypeObject* type, PyObject* name);

// 1 when `fn` is a plain function named `name` whose code was compiled from
// `module`'s own file and which runs in that module's globals, 0 when not,
// -1 on error.  `fn` and `module` may be NULL.
int defined_by(PyObject* fn, PyObject* module, PyObject* name);

}  // namespace patch_eus
