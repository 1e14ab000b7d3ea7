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

// Whether instances of `type` look their attributes up as any object does.
bool generic_lookup(PyTypeObject* type) {
    Ref own = Ref::steal(class_attribute(type, getattribute_name));
    Ref generic = Ref::steal(class_attribute(&PyBaseObject_Type, getattribute_name));
    return own && own.get() == generic.get();
}

// Whether the instance dict of `frame` holds `name`.
bool shadows(PyObject* frame, PyObject* name) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(frame, nullptr));
    if (!dict) {
        PyErr_Clear();  // no instance dict: nothing can shadow
        return false;
    }
    if (!PyDict_Check(dict.get())) return true;
    PyObject* shadow = PyDict_GetItemWithError(dict.get(), name);
    PyErr_Clear();
    return shadow != nullptr;
}

// Whether pandas is older than 1.3, by the major and minor numbers of its
// own __version__.
bool pandas_before_1_3() {
    PyObject* pandas = loaded_module(pandas_name);
    PyObject* version = pandas ? dict_entry(PyModule_GetDict(pandas), version_name) : nullptr;
    if (!version || !PyUnicode_Check(version)) return false;
    const char* text = PyUnicode_AsUTF8(version);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    int major = 0, minor = 0;
    if (std::sscanf(text, "%d.%d", &major, &minor) != 2) return false;
    return major < 1 || (major == 1 && minor < 3);
}

// Whether `getter` is the `values` that pandas defined for frames: the
// frame module's own, or, before pandas 1.3 (which gave DataFrame one of its
// own and left NDFrame's abstract), the one its generic module defines for
// NDFrame.
bool plain_values_getter(PyObject* getter, PyObject* frame_module) {
    if (defined_by(getter, frame_module, values_name)) return true;
    return pandas_before_1_3() &&
           defined_by(getter, loaded_module(generic_module_name), values_name);
}

bool plain_methods(PyObject* frame, PyObject* iterrows) {
    PyObject* frame_module = loaded_module(frame_module_name);
    PyTypeObject* frame_type = class_of(frame_module, frame_class_name);
    if (!frame_type || Py_TYPE(frame) != frame_type || !generic_lookup(frame_type)) return false;

    Ref iterate = Ref::steal(class_attribute(frame_type, iterrows));
    if (!defined_by(iterate.get(), frame_module, iterrows)) return false;
    Ref values = Ref::steal(class_attribute(frame_type, values_name));
    if (!values || Py_TYPE(values.get()) != &PyProperty_Type) return false;
    Ref getter = Ref::steal(PyObject_GetAttr(values.get(), getter_name));
    if (!getter) {
        PyErr_Clear();
        return false;
    }
    return plain_values_getter(getter.get(), frame_module) && !shadows(frame, iterrows);
}

// 1 when `columns` is pandas' Index holding exactly `labels`, in order, 0
// when not, -1 on error.
int has_columns(PyObject* columns, PyObject* const (&labels)[4]) {
    PyTypeObject* index_type = class_of(loaded_module(index_module_name), index_class_name);
    if (!index_type || Py_TYPE(columns) != index_type) return 0;
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
    if (!plain_methods(frame, reading.iterrows)) return 0;
    Ref columns = Ref::steal(PyObject_GetAttr(frame, columns_name));
    if (!columns) return -1;
    return has_columns(columns.get(), reading.labels);
}

}  // namespace patch_eus
