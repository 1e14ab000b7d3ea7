// The function type's slots: attributes, garbage collection, method binding, pickling.
#include "function_type.hpp"

#include "../host/names.hpp"

#include <structmember.h>

#include <cstddef>
#include <iterator>
#include <new>
#include <vector>

namespace patch_eus {

namespace {

PyTypeObject function_type_object;
bool function_type_ready = false;

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

PyObject*& slot_at(PyObject* self, size_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

// The slots holding objects, for the collector.
constexpr size_t kObjectSlots[] = {
    offsetof(Function, dict),    offsetof(Function, name),        offsetof(Function, qualname),
    offsetof(Function, module),  offsetof(Function, doc),         offsetof(Function, globals),
    offsetof(Function, code),    offsetof(Function, annotations), offsetof(Function, defaults),
    offsetof(Function, kwdefaults),
};

int traverse(PyObject* self, visitproc visit, void* arg) {
    for (size_t offset : kObjectSlots) Py_VISIT(slot_at(self, offset));
    return 0;
}

int clear(PyObject* self) {
    for (size_t offset : kObjectSlots) Py_CLEAR(slot_at(self, offset));
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

// A writable attribute kept in one slot of the function, read as None while
// the slot is empty.
struct Field {
    size_t offset;
    int (*accepts)(PyObject*);  // the values that may be stored
    bool none_empties;          // setting None, or deleting, empties the slot
    const char* message;        // the TypeError for any other value
};

PyObject* get_field(PyObject* self, void* closure) {
    PyObject* value = slot_at(self, static_cast<const Field*>(closure)->offset);
    if (!value) value = Py_None;
    Py_INCREF(value);
    return value;
}

int set_field(PyObject* self, PyObject* value, void* closure) {
    const Field& field = *static_cast<const Field*>(closure);
    if (field.none_empties && value == Py_None) value = nullptr;
    if (value ? !field.accepts(value) : !field.none_empties) {
        PyErr_SetString(PyExc_TypeError, field.message);
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(slot_at(self, field.offset), value);
    return 0;
}

int is_text(PyObject* v) { return PyUnicode_Check(v); }
int is_code(PyObject* v) { return PyCode_Check(v); }
int is_tuple(PyObject* v) { return PyTuple_Check(v); }
int is_dict(PyObject* v) { return PyDict_Check(v); }
int is_anything(PyObject*) { return 1; }

Field name_field{offsetof(Function, name), is_text, false,
                 "__name__ must be set to a string object"};
Field qualname_field{offsetof(Function, qualname), is_text, false,
                     "__qualname__ must be set to a string object"};
Field doc_field{offsetof(Function, doc), is_anything, true, ""};
Field code_field{offsetof(Function, code), is_code, false,
                 "__code__ must be set to a code object"};
Field defaults_field{offsetof(Function, defaults), is_tuple, true,
                     "__defaults__ must be set to a tuple object"};
Field kwdefaults_field{offsetof(Function, kwdefaults), is_dict, true,
                       "__kwdefaults__ must be set to a dict object"};
Field annotations_field{offsetof(Function, annotations), is_dict, true,
                        "__annotations__ must be set to a dict object"};

// An empty dict is made on first reading, as for the interpreter's functions.
PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef getset[] = {
    {"__name__", get_field, set_field, nullptr, &name_field},
    {"__qualname__", get_field, set_field, nullptr, &qualname_field},
    {"__doc__", get_field, set_field, nullptr, &doc_field},
    {"__code__", get_field, set_field, nullptr, &code_field},
    {"__defaults__", get_field, set_field, nullptr, &defaults_field},
    {"__kwdefaults__", get_field, set_field, nullptr, &kwdefaults_field},
    {"__annotations__", get_annotations, set_field, nullptr, &annotations_field},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const PyMethodDef own_methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
};

// The type's method table: its own methods and the extras, ending in an
// empty entry; filled once, and it lives as long as the type.
std::vector<PyMethodDef> methods;

}  // namespace

int ready_function_type(const PyMethodDef* extra) {
    if (function_type_ready) return 0;
    try {
        methods.assign(std::begin(own_methods), std::end(own_methods));
        for (const PyMethodDef* m = extra; m->ml_name; ++m) methods.push_back(*m);
        methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    } catch (...) {  // std::bad_alloc
        PyErr_NoMemory();
        return -1;
    }

    PyTypeObject& t = function_type_object;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = PATCH_EUS_MODULE_NAME ".function";
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
    t.tp_methods = methods.data();
    t.tp_members = members;
    t.tp_getset = getset;
    t.tp_descr_get = descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    if (PyType_Ready(&t) < 0) return -1;
    function_type_ready = true;
    return 0;
}

PyObject* new_function(const FunctionSpec* spec, PyObject* doc, PyObject* globals, PyObject* code,
                       PyObject* annotations) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    Function* f = PyObject_GC_New(Function, &function_type_object);
    if (f == nullptr) return nullptr;
    f->vectorcall = function_vectorcall;
    f->spec = spec;
    f->dict = dict.release();
    f->name = Ref::borrow(*spec->name).release();
    f->qualname = Ref::borrow(*spec->name).release();
    f->module = Ref::borrow(module_name).release();
    f->doc = Ref::borrow(doc).release();
    f->globals = Ref::borrow(globals).release();
    f->code = Ref::borrow(code).release();
    f->annotations = Ref::borrow(annotations).release();
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace patch_eus
