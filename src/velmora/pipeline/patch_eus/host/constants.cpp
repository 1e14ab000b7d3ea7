// The registry of the module's constants and their construction at load.
#include "constants.hpp"

namespace patch_eus {

namespace {

// Constant-initialised, so it is ready before any constant registers itself,
// whatever the order in which the library's files are initialised.
Constant* registered = nullptr;

}  // namespace

Constant::Constant() noexcept : next_(registered) { registered = this; }

PyObject* Text::make() const { return PyUnicode_InternFromString(value_); }

PyObject* Number::make() const { return PyLong_FromLong(value_); }

int make_constants() {
    for (Constant* c = registered; c; c = c->next_) {
        if (c->object_) continue;
        c->object_ = c->make();
        if (!c->object_) return -1;
    }
    return 0;
}

const Constant* first_constant() noexcept { return registered; }

}  // namespace patch_eus
