// Name lookups, unpacking and joining, as the interpreter itself does them.
#include "calls.hpp"

#include "constants.hpp"
#include "state.hpp"

namespace patch_eus {

Text empty_text{""};

PyObject* lookup_builtin(PyObject* name) {
    // The builtins module is bound before anything is looked up in it.
    PyObject* found = PyObject_GetAttr(state().builtins, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject* lookup_global(PyObject* globals, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (found) {
        Py_INCREF(found);
        return found;
    }
    if (PyErr_Occurred()) return nullptr;
    return lookup_builtin(name);
}

int unpack2(PyObject* obj, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(obj, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(obj, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter &&
            !PySequence_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(obj)->tp_name);
        }
        return -1;
    }
    Ref items[2];
    for (Py_ssize_t got = 0; got < 2; ++got) {
        items[got] = Ref::steal(PyIter_Next(it.get()));
        if (!items[got]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                             got);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    if (PyErr_Occurred()) return -1;
    first = std::move(items[0]);
    second = std::move(items[1]);
    return 0;
}

PyObject* join_texts(std::initializer_list<PyObject*> parts) {
    for (PyObject* part : parts) {
        if (!part) return nullptr;
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (PyObject* part : parts) {
        if (PyList_Append(list.get(), part) < 0) return nullptr;
    }
    return PyUnicode_Join(empty_text, list.get());
}

}  // namespace patch_eus
