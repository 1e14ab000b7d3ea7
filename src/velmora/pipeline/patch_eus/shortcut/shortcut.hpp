// The fast path's one door: whether a frame is read straight from pandas' arrays, and the compact lookup it then gives.
#pragma once

#include "compact_lookup.hpp"

namespace patch_eus {

// What the run reads of a frame: its rows through the method named
// `iterrows`, each row by the four column labels in table order.
struct FrameReading {
    PyObject* iterrows;
    PyObject* labels[4];
};

// Reads `frame` into `lookup` when the frame and the calendar pass every
// check listed at the top of shortcut.cpp, in that order.  1 with `lookup`
// built; 0 when they are not covered (nothing is kept: the caller iterates
// over the frame's rows instead); -1 on error.
int read_frame(PyObject* frame, PyObject* calendar, const FrameReading& reading,
               CompactLookup& lookup);

}  // namespace patch_eus
