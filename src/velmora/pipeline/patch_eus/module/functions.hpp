// The module's two functions, as the execution step binds them.
#pragma once

#include "../host/ref.hpp"

namespace patch_eus {

// The function type's methods beside the function's own: the tests' probe
// of the gap search.
extern const PyMethodDef function_type_extras[];

// Makes the two code objects once; -1 with an exception set on failure.
int make_function_codes();

// def _next_donem(d: str) -> str, bound in `globals`; -1 on failure, with
// the traceback entry of its definition.
int define_next_donem(PyObject* globals);

// def patch_eus_gaps(db_path: Path), the same.
int define_patch_eus_gaps(PyObject* globals, PyObject* path_name);

}  // namespace patch_eus
