// Lookups in sys.modules, module dicts and class dicts, and where a function was defined, that run no Python code.
#include "loaded.hpp"

#include "constants.hpp"

namespace patch_eus {

namespace {

Text dunder_dict{"__dict__"};
Text file_name{"__file__"};
Text code_name_name{"co_name"};
Text code_file_name{"co_filename"};

}  // namespace

PyObject* dict_entry(PyObject* dict, PyObject* key) { return PyDict_GetItemWithError(dict, key); }

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
        if (!namespace_) return nullptr;
        PyObject* found = PyObject_GetItem(namespace_.get(), name);
        if (found || !PyErr_ExceptionMatches(PyExc_KeyError)) return found;
        PyErr_Clear();
    }
    return nullptr;
}

int defined_by(PyObject* fn, PyObject* module, PyObject* name) {
    if (!fn || !module || !PyFunction_Check(fn)) return 0;
    PyObject* module_dict = PyModule_GetDict(module);
    if (PyFunction_GET_GLOBALS(fn) != module_dict) return 0;
    PyObject* file = dict_entry(module_dict, file_name);
    if (!file) return PyErr_Occurred() ? -1 : 0;
    Ref code_name = Ref::steal(PyObject_GetAttr(PyFunction_GET_CODE(fn), code_name_name));
    if (!code_name) return -1;
    Ref code_file = Ref::steal(PyObject_GetAttr(PyFunction_GET_CODE(fn), code_file_name));
    if (!code_file) return -1;
    if (!PyUnicode_Check(file) || !PyUnicode_Check(code_name.get()) ||
        !PyUnicode_Check(code_file.get()))
        return 0;
    return PyUnicode_Compare(code_name.get(), name) == 0 &&
           PyUnicode_Compare(code_file.get(), file) == 0;
}

}  // namespace patch_eus
