// The repair run against the database: reading the score table, finding the
// single-period gaps, inserting the interpolated rows and reporting.
#pragma once

#include "../module/runtime.hpp"

namespace patch_eus {

// patch_eus_gaps(db_path): the whole run.  Returns None, or NULL with a
// traceback entry of `patch_eus_gaps`.
PyObject* patch_eus_gaps(PyObject* globals, PyObject* db_path);

// The patch rows for the frame `eus` over `calendar`: one dict (muta, donem,
// eus_skor, eus_ihtimal) per firm and single-period gap.  New list, or NULL
// with a traceback entry of `patch_eus_gaps`.
PyObject* find_gap_rows(PyObject* globals, PyObject* eus, PyObject* calendar);

}  // namespace patch_eus
