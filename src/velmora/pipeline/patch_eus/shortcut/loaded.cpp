// Lookups in sys.modules, module dicts and class dicts that run no Python code.
#include "loaded.hpp"

#include "../host/constants.hpp"

namespace patch_eus {

namespace {

Text dunder_dict{"__dict__"};

}  // namespace

PyObject* dict_entry(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (!found) PyErr_Clear();
    return found;
}

PyObject* loaded_module(PyObject* name) {
    PyObject* found = dict_entry(PyImport_GetModuleDict(), name);
    return found && PyModule_Check(found) ? found : nullptr;
}

PyTypeObject* class_of(PyObject* module, PyObject* name) {
    if (!module) return nullptr;
    PyObject* found = dict_entry(PyModule_GetDict(module), name);
    return found && PyType_Check(found) ? reinterpret_cast<PyTypeObject*>(found) : nullptr;
}

PyObject* class_attribute(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        // The class's own namespace, through the public mapping proxy.
        Ref namespace_ = Ref::steal(PyObject_GetAttr(PyTuple_GET_ITEM(mro, i), dunder_dict));
        if (!namespace_) break;
        PyObject* found = PyObject_GetItem(namespace_.get(), name);
        if (found) return found;
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) break;
        PyErr_Clear();
    }
    PyErr_Clear();
    return nullptr;
}

}  // namespace patch_eus
