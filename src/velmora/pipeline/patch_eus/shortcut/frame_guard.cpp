// The checks that a frame is pandas' own, unpatched, with exactly the table's columns.
#include "frame_guard.hpp"

#include "frame_columns.hpp"
#include "loaded.hpp"

#include "../host/constants.hpp"

#include <cstdio>

namespace patch_eus {

namespace {

Text frame_module_name{"pandas.core.frame"};
Text frame_class_name{"DataFrame"};
Text generic_module_name{"pandas.core.generic"};
Text pandas_name{"pandas"};
Text version_name{"__version__"};
Text index_module_name{"pandas.core.indexes.base"};
Text index_class_name{"Index"};
Text columns_name{"columns"};
Text getattribute_name{"__getattribute__"};
Text getter_name{"fget"};

// Whether instances of `type` look their attributes up as any object does:
// 1, 0, or -1 on error.
int generic_lookup(PyTypeObject* type) {
    Ref own = Ref::steal(class_attribute(type, getattribute_name));
    if (!own) return PyErr_Occurred() ? -1 : 0;
    Ref generic = Ref::steal(class_attribute(&PyBaseObject_Type, getattribute_name));
    if (!generic) return PyErr_Occurred() ? -1 : 0;
    return own.get() == generic.get();
}

// Whether the instance dict of `frame` holds `name`: 1, 0, or -1 on error.
int shadows(PyObject* frame, PyObject* name) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(frame, nullptr));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();  // no instance dict: nothing can shadow
        return 0;
    }
    if (!PyDict_Check(dict.get())) return 1;
    if (PyDict_GetItemWithError(dict.get(), name)) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// Whether pandas is older than 1.3, by the major and minor numbers of its
// own __version__: 1, 0, or -1 on error.
int pandas_before_1_3() {
    PyObject* pandas = loaded_module(pandas_name);
    PyObject* version = pandas ? dict_entry(PyModule_GetDict(pandas), version_name) : nullptr;
    if (!version) return PyErr_Occurred() ? -1 : 0;
    if (!PyUnicode_Check(version)) return 0;
    const char* text = PyUnicode_AsUTF8(version);
    if (!text) return -1;
    int major = 0, minor = 0;
    if (std::sscanf(text, "%d.%d", &major, &minor) != 2) return 0;
    return major < 1 || (major == 1 && minor < 3);
}

// Whether `getter` is the `values` that pandas defined for frames: the
// frame module's own, or, before pandas 1.3 (which gave DataFrame one of its
// own and left NDFrame's abstract), the one its generic module defines for
// NDFrame.  1, 0, or -1 on error.
int plain_values_getter(PyObject* getter, PyObject* frame_module) {
    int plain = defined_by(getter, frame_module, values_name);
    if (plain) return plain;
    if (int older = pandas_before_1_3(); older <= 0) return older;
    PyObject* generic = loaded_module(generic_module_name);
    if (!generic) return PyErr_Occurred() ? -1 : 0;
    return defined_by(getter, generic, values_name);
}

int plain_methods(PyObject* frame, PyObject* iterrows) {
    PyObject* frame_module = loaded_module(frame_module_name);
    PyTypeObject* frame_type = frame_module ? class_of(frame_module, frame_class_name) : nullptr;
    if (!frame_type) return PyErr_Occurred() ? -1 : 0;
    if (Py_TYPE(frame) != frame_type) return 0;
    if (int generic = generic_lookup(frame_type); generic <= 0) return generic;

    Ref iterate = Ref::steal(class_attribute(frame_type, iterrows));
    if (!iterate && PyErr_Occurred()) return -1;
    if (int plain = defined_by(iterate.get(), frame_module, iterrows); plain <= 0) return plain;
    Ref values = Ref::steal(class_attribute(frame_type, values_name));
    if (!values) return PyErr_Occurred() ? -1 : 0;
    if (Py_TYPE(values.get()) != &PyProperty_Type) return 0;
    Ref getter = Ref::steal(PyObject_GetAttr(values.get(), getter_name));
    if (!getter) return -1;
    if (int plain = plain_values_getter(getter.get(), frame_module); plain <= 0) return plain;
    const int shadowed = shadows(frame, iterrows);
    return shadowed < 0 ? -1 : !shadowed;
}

// 1 when `columns` is pandas' Index holding exactly `labels`, in order, 0
// when not, -1 on error.
int has_columns(PyObject* columns, PyObject* const (&labels)[4]) {
    PyObject* index_module = loaded_module(index_module_name);
    PyTypeObject* index_type = index_module ? class_of(index_module, index_class_name) : nullptr;
    if (!index_type) return PyErr_Occurred() ? -1 : 0;
    if (Py_TYPE(columns) != index_type) return 0;
    Ref found = Ref::steal(PySequence_List(columns));
    if (!found) return -1;
    if (PyList_GET_SIZE(found.get()) != 4) return 0;
    for (Py_ssize_t j = 0; j < 4; ++j) {
        PyObject* label = PyList_GET_ITEM(found.get(), j);
        if (!PyUnicode_CheckExact(label) || PyUnicode_Compare(label, labels[j]) != 0) return 0;
    }
    return 1;
}

}  // namespace

int is_plain_frame(PyObject* frame, const FrameReading& reading) {
    if (int plain = plain_methods(frame, reading.iterrows); plain <= 0) return plain;
    Ref columns = Ref::steal(PyObject_GetAttr(frame, columns_name));
    if (!columns) return -1;
    return has_columns(columns.get(), reading.labels);
}

}  // namespace patch_eus
