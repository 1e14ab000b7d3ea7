// Modules, classes and functions already loaded, found and checked without importing or running Python code.
#pragma once

#include "../host/ref.hpp"

namespace patch_eus {

// An entry of a dict whose keys are strs, borrowed, or NULL; nothing raised.
PyObject* dict_entry(PyObject* dict, PyObject* key);

// The module sys.modules holds under `name` (borrowed), or NULL.
PyObject* loaded_module(PyObject* name);

// The class `name` of a module (borrowed), or NULL; `module` may be NULL.
PyTypeObject* class_of(PyObject* module, PyObject* name);

// What looking `name` up on instances of `type` finds in the classes of its
// method resolution order: the first entry of their dicts (a new
// reference), or NULL when none has it or the lookup raised (then cleared).
PyObject* class_attribute(PyTypeObject* type, PyObject* name);

// Whether `fn` is a plain function named `name` whose code was compiled from
// `module`'s own file and which runs in that module's globals.  Errors count
// as "no" and are cleared: the prescribed path is always a valid answer.
// `fn` and `module` may be NULL.
bool defined_by(PyObject* fn, PyObject* module, PyObject* name);

}  // namespace patch_eus
