// State: what the module keeps for the life of the process once it is loaded.
#pragma once

#include "ref.hpp"

namespace patch_eus {

struct State {
    PyObject* module = nullptr;    // the recorded module (owned), or none
    PyObject* builtins = nullptr;  // the builtins module (owned)
    PyObject* print = nullptr;     // the builtins bound at load (owned)
    PyObject* round = nullptr;
};

State& state();

}  // namespace patch_eus
