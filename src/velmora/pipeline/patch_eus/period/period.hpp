// Period codes (YYMM texts): the successor of a code and the calendar between two codes.
#pragma once

#include "../host/constants.hpp"

namespace patch_eus {

// The successor's name, as the module binds it and the walk looks it up.
extern Text next_donem_name;

// The code of the month after `d` (an exact str): '2512' -> '2601'.  New
// reference, or NULL with a traceback entry of `_next_donem`.
PyObject* next_donem(PyObject* globals, PyObject* d);

// The list of period codes from `min_d` on, each the successor of the one
// before (through the module global `_next_donem`), up to the last one that
// compares less than or equal to `max_d`.  The walk stops after the last
// code the YYMM form can express.  New reference, or NULL with a traceback
// entry of `patch_eus_gaps`.
PyObject* build_calendar(PyObject* globals, PyObject* min_d, PyObject* max_d);

}  // namespace patch_eus
