// The repair run: reading the score table, finding the single-period gaps, inserting and reporting.
#pragma once

#include "../host/ref.hpp"

namespace patch_eus {

// patch_eus_gaps(db_path): the whole run.  Returns None, or NULL with a
// traceback entry of `patch_eus_gaps`.
PyObject* patch_eus_gaps(PyObject* globals, PyObject* db_path);

// The patch rows for the frame `eus` over `calendar`: one dict (muta, donem,
// eus_skor, eus_ihtimal) per firm and single-period gap.  New list, or NULL
// with a traceback entry of `patch_eus_gaps`.
PyObject* find_gap_rows(PyObject* globals, PyObject* eus, PyObject* calendar);

// What a gap search saw: whether it read the frame through the shortcut,
// and its score lookup as the dict of tuples the rows give.
struct GapSearchTrace {
    bool shortcut_taken = false;
    Ref lookup;
};

// find_gap_rows, with the shortcut only when `allow_shortcut` is set, and
// telling what it saw through `trace` (may be NULL): for comparing the two
// ways a frame can be read.
PyObject* find_gap_rows_traced(PyObject* globals, PyObject* eus, PyObject* calendar,
                               bool allow_shortcut, GapSearchTrace* trace);

}  // namespace patch_eus
