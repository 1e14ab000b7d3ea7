#include "runtime.hpp"

#include <frameobject.h>

namespace patch_eus {

namespace text {
#define PATCH_EUS_DEFINE_TEXT(id, value) PyObject* id = nullptr;
PATCH_EUS_TEXTS(PATCH_EUS_DEFINE_TEXT)
#undef PATCH_EUS_DEFINE_TEXT
}  // namespace text

namespace num {
PyObject* zero = nullptr;
PyObject* one = nullptr;
PyObject* two = nullptr;
PyObject* four = nullptr;
PyObject* twelve = nullptr;
}  // namespace num

namespace {

int make_text(PyObject*& slot, const char* value) {
    if (slot) return 0;
    slot = PyUnicode_InternFromString(value);
    return slot ? 0 : -1;
}

int make_int(PyObject*& slot, long value) {
    if (slot) return 0;
    slot = PyLong_FromLong(value);
    return slot ? 0 : -1;
}

}  // namespace

int init_constants() {
#define PATCH_EUS_MAKE_TEXT(id, value) \
    if (make_text(text::id, value) < 0) return -1;
    PATCH_EUS_TEXTS(PATCH_EUS_MAKE_TEXT)
#undef PATCH_EUS_MAKE_TEXT
    if (make_int(num::zero, 0) < 0 || make_int(num::one, 1) < 0 || make_int(num::two, 2) < 0 ||
        make_int(num::four, 4) < 0 || make_int(num::twelve, 12) < 0)
        return -1;
    return 0;
}

State& state() {
    static State s;
    return s;
}

void add_traceback(Where where, int line, PyObject* globals) {
    const char* function = "init velmora.pipeline.patch_eus";
    if (where == Where::next_donem) function = "velmora.pipeline.patch_eus._next_donem";
    if (where == Where::patch_eus_gaps) function = "velmora.pipeline.patch_eus.patch_eus_gaps";

    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    // A code object without instructions whose first line is the failing
    // line: a frame on it reports exactly that line.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("src/velmora/pipeline/patch_eus", function, line)));
    Ref frame_globals = Ref::borrow(globals);
    if (!frame_globals) frame_globals = Ref::steal(PyDict_New());
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
}

PyObject* lookup_global(PyObject* globals, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (found) {
        Py_INCREF(found);
        return found;
    }
    if (PyErr_Occurred()) return nullptr;
    PyObject* builtins = state().builtins;
    if (builtins) {
        found = PyObject_GetAttr(builtins, name);
        if (found) return found;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

PyObject* call_method0(PyObject* obj, PyObject* name) {
    PyObject* args[] = {obj};
    return PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* args[] = {obj, arg};
    return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* call_method2(PyObject* obj, PyObject* name, PyObject* a, PyObject* b) {
    PyObject* args[] = {obj, a, b};
    return PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

int unpack2(PyObject* obj, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(obj, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(obj, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter &&
            !PySequence_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(obj)->tp_name);
        }
        return -1;
    }
    Ref a = Ref::steal(PyIter_Next(it.get()));
    if (!a) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
        return -1;
    }
    Ref b = Ref::steal(PyIter_Next(it.get()));
    if (!b) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
        return -1;
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    if (PyErr_Occurred()) return -1;
    first = std::move(a);
    second = std::move(b);
    return 0;
}

PyObject* join_texts(std::initializer_list<PyObject*> parts) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (PyObject* part : parts) {
        if (!part || PyList_Append(list.get(), part) < 0) return nullptr;
    }
    return PyUnicode_Join(text::empty, list.get());
}

}  // namespace patch_eus
