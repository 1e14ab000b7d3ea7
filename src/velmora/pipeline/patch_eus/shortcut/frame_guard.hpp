// The guard of the shortcut: which frames it may read instead of iterating over their rows.
#pragma once

#include "../host/ref.hpp"

namespace patch_eus {

// What the run reads of a frame: its rows through the method named
// `iterrows`, each row by the four column labels in table order.
struct FrameReading {
    PyObject* iterrows;
    PyObject* labels[4];
};

// 1 when `frame` is pandas' own DataFrame as pandas made it: its type is
// exactly pandas' DataFrame, attribute lookup is the generic one, the
// `iterrows` and `values` its type holds are the functions pandas defined
// for frames (`values`: the frame module's, or before pandas 1.3 the
// generic module's for NDFrame), its instance dict does not shadow
// `iterrows`, and its columns are an exact pandas Index of exactly the four
// labels in order.
// 0 when not, -1 on error.
int is_plain_frame(PyObject* frame, const FrameReading& reading);

}  // namespace patch_eus
