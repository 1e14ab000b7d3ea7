#include "function_type.hpp"

#include "../patching/patching.hpp"

#include <structmember.h>

#include <cstddef>

#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

namespace patch_eus {

namespace {

PyTypeObject function_type_object;
bool function_type_ready = false;

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

int traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    return 0;
}

int clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    PyObject_GC_Del(self);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Stored in a class, the function binds to the instance like a Python
// function does.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// Pickled by reference: the qualified name, found again in __module__.
PyObject* reduce(PyObject* self, PyObject*) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

int set_text(PyObject*& slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(slot, value);
    return 0;
}

PyObject* get_or_none(PyObject* value) {
    PyObject* result = value ? value : Py_None;
    Py_INCREF(result);
    return result;
}

PyObject* get_name(PyObject* self, void*) { return get_or_none(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) {
    return get_or_none(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->qualname, value,
                    "__qualname__ must be set to a string object");
}

PyObject* get_doc(PyObject* self, void*) { return get_or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    PyObject* doc = value ? value : Py_None;
    Py_INCREF(doc);
    Py_XSETREF(as_function(self)->doc, doc);
    return 0;
}

PyObject* get_code(PyObject* self, void*) { return get_or_none(as_function(self)->code); }
int set_code(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyCode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(as_function(self)->code, value);
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) { return get_or_none(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->defaults, value);
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    return get_or_none(as_function(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->kwdefaults, value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    // Private: the score lookup and patch rows of a frame by either path,
    // for the tests that compare them.
    {"_gap_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(gap_rows_probe)),
     METH_FASTCALL | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int ready_function_type() {
    if (function_type_ready) return 0;
    PyTypeObject& t = function_type_object;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "velmora.pipeline.patch_eus.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_dealloc = dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_methods = methods;
    t.tp_members = members;
    t.tp_getset = getset;
    t.tp_descr_get = descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    if (PyType_Ready(&t) < 0) return -1;
    function_type_ready = true;
    return 0;
}

PyObject* new_function(const FunctionSpec* spec, PyObject* name, PyObject* doc,
                       PyObject* globals, PyObject* code, PyObject* annotations) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    Function* f = PyObject_GC_New(Function, &function_type_object);
    if (f == nullptr) return nullptr;
    f->vectorcall = function_vectorcall;
    f->spec = spec;
    f->dict = dict.release();
    Py_INCREF(name);
    f->name = name;
    Py_INCREF(name);
    f->qualname = name;
    Py_INCREF(text::module_name);
    f->module = text::module_name;
    Py_INCREF(doc);
    f->doc = doc;
    Py_INCREF(globals);
    f->globals = globals;
    Py_INCREF(code);
    f->code = code;
    Py_XINCREF(annotations);
    f->annotations = annotations;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace patch_eus
