// The fast path's one door: the checks, in order, under which a frame is read from pandas' arrays instead of its rows.
//
// read_frame answers with the compact lookup, or with "not covered" at the
// first check that fails, and the gap search then iterates over the rows
// (iterrows, a Series per row).  Either way the lookup, the patch rows, the
// calls and the failure lines are the same; only the order of the rows
// within one gap period differs.  The checks:
//
//  1. every calendar entry is an exact str;
//  2. the frame's type is exactly the DataFrame class of pandas.core.frame;
//  3. that type looks attributes up as any object does (no __getattribute__
//     of its own);
//  4. the `iterrows` the type holds is the function pandas.core.frame
//     defines, and the frame's instance dict does not shadow it;
//  5. the `values` the type holds is a property whose getter pandas defined
//     for frames (pandas.core.frame's, or before pandas 1.3 the one
//     pandas.core.generic defines for NDFrame): iterrows reads the rows
//     through it;
//  6. the frame's columns are an exact pandas Index of exactly the four
//     labels, in table order;
//  7. its four columns are read in place, from pandas' blocks (float64,
//     object, or pandas' strings) or from `values` (frame_columns.cpp), as
//     `values` would hold them;
//  8. the firm and period columns hold objects, and there are fewer than
//     2**31 rows;
//  9. every row holds an int or a non-NaN float before a third text, so
//     that pandas hands the row out unconverted (FrameColumns::row_kept_as_is);
// 10. every firm and period is an exact str, an exact int, None or a NaN
//     float, whose equality as dict keys runs no Python code (ValueIds).
//
// Checks 2 to 5 look only at what is loaded already (host/loaded.hpp): they
// import nothing and run no Python code.
#include "shortcut.hpp"

#include "../host/constants.hpp"
#include "../host/loaded.hpp"

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

bool all_exact_texts(PyObject* calendar) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(calendar); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(calendar, i))) return false;
    return true;
}

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

// Checks 2 to 5: 1, 0, or -1 on error.
int plain_type(PyObject* frame, PyObject* iterrows) {
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

// Checks 1 to 10, in order.
int read_checked(PyObject* frame, PyObject* calendar, const FrameReading& reading,
                 CompactLookup& lookup) {
    if (!all_exact_texts(calendar)) return 0;                                    // 1
    if (int plain = plain_type(frame, reading.iterrows); plain <= 0) return plain;  // 2 to 5
    Ref columns = Ref::steal(PyObject_GetAttr(frame, columns_name));
    if (!columns) return -1;
    if (int same = has_columns(columns.get(), reading.labels); same <= 0) return same;  // 6
    FrameColumns& read = lookup.columns();
    if (int in_place = read.read(frame); in_place <= 0) return in_place;            // 7
    if (read.column[0].doubles || read.column[1].doubles || read.rows > INT32_MAX)  // 8
        return 0;
    for (Py_ssize_t row = 0; row < read.rows; ++row) {
        if (!read.row_kept_as_is(row)) return 0;                                   // 9
        if (int kept = lookup.add_row(row); kept <= 0) return kept;               // 10
    }
    lookup.group_rows();
    return 1;
}

}  // namespace

int read_frame(PyObject* frame, PyObject* calendar, const FrameReading& reading,
               CompactLookup& lookup) {
    try {
        return read_checked(frame, calendar, reading, lookup);
    } catch (...) {  // std::bad_alloc, or std::length_error for a size past any allocation
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace patch_eus
