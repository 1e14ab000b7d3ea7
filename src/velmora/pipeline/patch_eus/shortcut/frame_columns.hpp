// FrameColumns: the four columns of a frame, read in place where `values` would take them from.
#pragma once

#include "../host/constants.hpp"

#include <vector>

namespace patch_eus {

// The frame's property that gathers its columns into one array.
extern Text values_name;

// One column as `values` would hold it: either the objects of an object
// array, or the doubles of a float64 array, which `values` would hold as the
// floats made from them.
struct Column {
    bool doubles = false;
    const char* data = nullptr;
    Py_ssize_t stride = 0;

    // Borrowed; objects only.
    PyObject* object(Py_ssize_t row) const;
    double number(Py_ssize_t row) const;
    // A new reference to the element `values` would hold, or NULL.
    PyObject* element(Py_ssize_t row) const;
};

struct FrameColumns {
    Py_ssize_t rows = 0;
    Column column[4];
    std::vector<Ref> arrays;  // keep the data alive

    // 1 when the four columns of `frame` (pandas' own DataFrame with exactly
    // four columns) were read, 0 when its layout is not one read here, -1 on
    // error.
    int read(PyObject* frame);

    // Whether the Series pandas builds for this row holds the row's own
    // elements, unconverted.
    bool row_kept_as_is(Py_ssize_t row) const;
};

}  // namespace patch_eus
