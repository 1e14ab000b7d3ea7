// Calls on host objects: methods, globals and builtins, unpacking, joining, iterating.
#pragma once

#include "constants.hpp"
#include "failure.hpp"

#include <initializer_list>

namespace patch_eus {

// The empty text: what texts are joined with, and the empty format spec.
extern Text empty_text;

// obj.name(args...) with positional arguments only; the method is looked up
// on the receiver at the moment of the call.  New reference or NULL.
template <typename... Args>
PyObject* call_method(PyObject* obj, PyObject* name, const Args&... args) {
    PyObject* vector[] = {obj, static_cast<PyObject*>(args)...};
    return PyObject_VectorcallMethod(name, vector,
                                     (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// A name of the builtins module, or NameError.  New reference or NULL.
PyObject* lookup_builtin(PyObject* name);

// A name of the module's globals, then of the builtins, or NameError.  New
// reference or NULL.
PyObject* lookup_global(PyObject* globals, PyObject* name);

// Unpacks an iterable of exactly two items as the interpreter does for
// `a, b = obj`, with the interpreter's messages.  Returns -1 on failure.
int unpack2(PyObject* obj, Ref& first, Ref& second);

// Concatenates texts; NULL if any part is NULL or the join fails.
PyObject* join_texts(std::initializer_list<PyObject*> parts);

// Iterates over `iterable`, calling body(item) with each item (borrowed for
// the call); body returns 0 to go on, or -1 when it failed, having added the
// traceback entry of its own statement.  Returns 0 when every item went
// through, or -1: the body's, or with the entry of `iteration_line` when
// getting the iterator or an item failed.
template <typename F>
int for_each_item(PyObject* iterable, const Failure& fail, int iteration_line, F&& body) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return fail.status(iteration_line);
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) return PyErr_Occurred() ? fail.status(iteration_line) : 0;
        if (body(item.get()) < 0) return -1;
    }
}

}  // namespace patch_eus
