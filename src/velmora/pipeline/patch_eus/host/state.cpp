// The one State of the process.
#include "state.hpp"

namespace patch_eus {

State& state() {
    static State s;
    return s;
}

}  // namespace patch_eus
