// The traceback entries the module adds to the exceptions it passes on.
#include "failure.hpp"

#include "names.hpp"

#include <frameobject.h>

namespace patch_eus {

namespace {

// By Where, in its order.
const char* const kFunctionNames[] = {
    "init " PATCH_EUS_MODULE_NAME,
    PATCH_EUS_MODULE_NAME "._next_donem",
    PATCH_EUS_MODULE_NAME ".patch_eus_gaps",
};

}  // namespace

std::nullptr_t Failure::at(int line) const {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    // A code object without instructions whose first line is the failing
    // line: a frame on it reports exactly that line.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
        PATCH_EUS_SOURCE_FILE, kFunctionNames[static_cast<int>(where_)], line)));
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals_, nullptr)));
    }
    // Failing to build the entry must not replace the original exception:
    // it is passed on as it was, without the entry.
    if (!frame) {
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return nullptr;
    }
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return nullptr;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return nullptr;
}

}  // namespace patch_eus
