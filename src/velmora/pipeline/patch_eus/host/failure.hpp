// Failure: how a statement of the module that failed is reported in the traceback.
// The module adds one entry to the exception it passes on: a frame on the
// module's source file, naming the function and the line of the statement.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace patch_eus {

// Which function a traceback entry names.
enum class Where { init, next_donem, patch_eus_gaps };

// The failures of one function, run in the module's globals.
class Failure {
public:
    Failure(Where where, PyObject* globals) noexcept : where_(where), globals_(globals) {}

    // Adds the entry for the statement at `line` to the exception being
    // raised, which stays as it is otherwise; NULL for the caller to return.
    std::nullptr_t at(int line) const;
    // The same, returning -1.
    int status(int line) const {
        at(line);
        return -1;
    }

private:
    Where where_;
    PyObject* globals_;  // borrowed, the module's globals
};

}  // namespace patch_eus
