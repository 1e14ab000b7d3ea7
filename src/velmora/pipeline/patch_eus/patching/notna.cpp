// Telling pandas' own notna from any other, and its answer for floats and None.
#include "notna.hpp"

#include "../host/loaded.hpp"

#include "../host/constants.hpp"

#include <cmath>

namespace patch_eus {

namespace {

Text notna_name{"notna"};
Text isna_name{"isna"};
Text inner_isna_name{"_isna"};
Text missing_module_name{"pandas.core.dtypes.missing"};

}  // namespace

// Checked on every call, as Python code run between two calls may patch
// any of them; a function met before is known by its identity.
int PlainNotna::unpatched(PyObject* notna) {
    PyObject* missing = loaded_module(missing_module_name);
    if (!missing) return PyErr_Occurred() ? -1 : 0;
    PyObject* const names[3] = {notna_name, isna_name, inner_isna_name};
    for (int k = 0; k < 3; ++k) {
        PyObject* fn = k ? dict_entry(PyModule_GetDict(missing), names[k]) : notna;
        if (!fn && PyErr_Occurred()) return -1;
        if (fn == checked_[k].get()) continue;
        if (int own = defined_by(fn, missing, names[k]); own <= 0) return own;
        checked_[k] = Ref::borrow(fn);
    }
    return 1;
}

int PlainNotna::known(PyObject* pd, PyObject* value, bool& present) {
    const bool none = value == Py_None;
    if (!none && !(PyFloat_CheckExact(value) && !std::isinf(PyFloat_AS_DOUBLE(value)))) return 0;
    // An exact module's attribute is the entry of its dict, where it has one.
    if (!PyModule_CheckExact(pd)) return 0;
    PyObject* notna = dict_entry(PyModule_GetDict(pd), notna_name);
    if (!notna) return PyErr_Occurred() ? -1 : 0;
    if (int own = unpatched(notna); own <= 0) return own;
    present = !none && !std::isnan(PyFloat_AS_DOUBLE(value));
    return 1;
}

}  // namespace patch_eus
