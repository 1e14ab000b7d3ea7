// The traceback entries the module adds to the exceptions it passes on.
#include "failure.hpp"

#include "names.hpp"

#include <frameobject.h>

namespace patch_eus {

namespace {

const char* function_name(Where where) {
    switch (where) {
        case Where::next_donem:
            return PATCH_EUS_MODULE_NAME "._next_donem";
        case Where::patch_eus_gaps:
            return PATCH_EUS_MODULE_NAME ".patch_eus_gaps";
        case Where::init:
            break;
    }
    return "init " PATCH_EUS_MODULE_NAME;
}

}  // namespace

std::nullptr_t Failure::at(int line) const {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    // A code object without instructions whose first line is the failing
    // line: a frame on it reports exactly that line.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(PATCH_EUS_SOURCE_FILE, function_name(where_), line)));
    Ref frame_globals = globals_ ? Ref::borrow(globals_) : Ref::steal(PyDict_New());
    Ref frame;
    if (code && frame_globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        frame_globals.get(), nullptr)));
    }
    // Failing to build the entry must not replace the original exception.
    if (!frame) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    return nullptr;
}

}  // namespace patch_eus
