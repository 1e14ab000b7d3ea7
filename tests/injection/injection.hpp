// Failure injection, in the test-only build: every call the module makes into the host can be told to fail.
//
// The build that defines PATCH_EUS_INJECT includes this header before each
// file of the module (the compiler's -include).  It takes the interpreter's
// headers first, then puts a check before each function of the C API the
// module calls that can fail: while the control module
// (velmora.pipeline._patch_eus_injection, in the same library) is armed,
// the module's calls are counted, and a call whose number was named fails
// as that function fails (NULL or -1, with the exception the control module
// was given) without running.  The module's own allocations through
// operator new are counted the same way and fail with std::bad_alloc.
// Nothing of this is in a release build.
//
// Every call of the C API in the module's sources is either wrapped here or
// listed in unwrapped.txt with the reason it cannot fail where the module
// makes it; test_wrapped_calls.py holds the sources, the release build's
// imported symbols and both lists against each other.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

namespace patch_eus {
namespace injection {

// Counts one call of `api` at `file`:`line`; true when it is to fail, with
// the exception set.
bool fails(const char* api, const char* file, int line);
// Counts one allocation of the module's operator new; true when it is to
// fail (nothing is set: the allocator throws).
bool count_one_allocation();

}  // namespace injection
}  // namespace patch_eus

#ifndef PATCH_EUS_INJECTION_CONTROL

// Functions that fail with NULL (new or borrowed references, texts, pointers).
#define PATCH_EUS_FAIL_NULL(f, ...) \
    (::patch_eus::injection::fails(#f, __FILE__, __LINE__) ? nullptr : f(__VA_ARGS__))
// Functions that fail with -1 (or another status the caller tests for).
#define PATCH_EUS_FAIL_WITH(value, f, ...) \
    (::patch_eus::injection::fails(#f, __FILE__, __LINE__) ? (value) : f(__VA_ARGS__))

#define PyBytes_FromStringAndSize(...) PATCH_EUS_FAIL_NULL(PyBytes_FromStringAndSize, __VA_ARGS__)
#define PyCapsule_GetPointer(...) PATCH_EUS_FAIL_NULL(PyCapsule_GetPointer, __VA_ARGS__)
#define PyCode_NewEmpty(...) PATCH_EUS_FAIL_NULL(PyCode_NewEmpty, __VA_ARGS__)
#define PyCode_NewWithPosOnlyArgs(...) PATCH_EUS_FAIL_NULL(PyCode_NewWithPosOnlyArgs, __VA_ARGS__)
#define PyDict_GetItemWithError(...) PATCH_EUS_FAIL_NULL(PyDict_GetItemWithError, __VA_ARGS__)
#define PyDict_New(...) PATCH_EUS_FAIL_NULL(PyDict_New, __VA_ARGS__)
#define PyFloat_FromDouble(...) PATCH_EUS_FAIL_NULL(PyFloat_FromDouble, __VA_ARGS__)
#define PyFrame_New(...) PATCH_EUS_FAIL_NULL(PyFrame_New, __VA_ARGS__)
#define PyImport_AddModule(...) PATCH_EUS_FAIL_NULL(PyImport_AddModule, __VA_ARGS__)
#define PyImport_ImportModule(...) PATCH_EUS_FAIL_NULL(PyImport_ImportModule, __VA_ARGS__)
#define PyImport_ImportModuleLevelObject(...) \
    PATCH_EUS_FAIL_NULL(PyImport_ImportModuleLevelObject, __VA_ARGS__)
#define PyIter_Next(...) PATCH_EUS_FAIL_NULL(PyIter_Next, __VA_ARGS__)
#define PyList_New(...) PATCH_EUS_FAIL_NULL(PyList_New, __VA_ARGS__)
#define PyLong_FromLong(...) PATCH_EUS_FAIL_NULL(PyLong_FromLong, __VA_ARGS__)
#define PyLong_FromSsize_t(...) PATCH_EUS_FAIL_NULL(PyLong_FromSsize_t, __VA_ARGS__)
#define PyMethod_New(...) PATCH_EUS_FAIL_NULL(PyMethod_New, __VA_ARGS__)
#define PyModule_GetNameObject(...) PATCH_EUS_FAIL_NULL(PyModule_GetNameObject, __VA_ARGS__)
#define PyModule_NewObject(...) PATCH_EUS_FAIL_NULL(PyModule_NewObject, __VA_ARGS__)
#define PyNumber_Add(...) PATCH_EUS_FAIL_NULL(PyNumber_Add, __VA_ARGS__)
#define PyNumber_And(...) PATCH_EUS_FAIL_NULL(PyNumber_And, __VA_ARGS__)
#define PyNumber_Long(...) PATCH_EUS_FAIL_NULL(PyNumber_Long, __VA_ARGS__)
#define PyNumber_Subtract(...) PATCH_EUS_FAIL_NULL(PyNumber_Subtract, __VA_ARGS__)
#define PyNumber_TrueDivide(...) PATCH_EUS_FAIL_NULL(PyNumber_TrueDivide, __VA_ARGS__)
#define PyObject_CallOneArg(...) PATCH_EUS_FAIL_NULL(PyObject_CallOneArg, __VA_ARGS__)
#define PyObject_Format(...) PATCH_EUS_FAIL_NULL(PyObject_Format, __VA_ARGS__)
#define PyObject_GenericGetDict(...) PATCH_EUS_FAIL_NULL(PyObject_GenericGetDict, __VA_ARGS__)
#define PyObject_GetAttr(...) PATCH_EUS_FAIL_NULL(PyObject_GetAttr, __VA_ARGS__)
#define PyObject_GetAttrString(...) PATCH_EUS_FAIL_NULL(PyObject_GetAttrString, __VA_ARGS__)
#define PyObject_GetItem(...) PATCH_EUS_FAIL_NULL(PyObject_GetItem, __VA_ARGS__)
#define PyObject_GetIter(...) PATCH_EUS_FAIL_NULL(PyObject_GetIter, __VA_ARGS__)
#define PyObject_RichCompare(...) PATCH_EUS_FAIL_NULL(PyObject_RichCompare, __VA_ARGS__)
#define PyObject_Str(...) PATCH_EUS_FAIL_NULL(PyObject_Str, __VA_ARGS__)
#define PyObject_Vectorcall(...) PATCH_EUS_FAIL_NULL(PyObject_Vectorcall, __VA_ARGS__)
#define PyObject_VectorcallMethod(...) PATCH_EUS_FAIL_NULL(PyObject_VectorcallMethod, __VA_ARGS__)
#define PySequence_List(...) PATCH_EUS_FAIL_NULL(PySequence_List, __VA_ARGS__)
#define PySet_New(...) PATCH_EUS_FAIL_NULL(PySet_New, __VA_ARGS__)
#define PyTuple_New(...) PATCH_EUS_FAIL_NULL(PyTuple_New, __VA_ARGS__)
#define PyTuple_Pack(...) PATCH_EUS_FAIL_NULL(PyTuple_Pack, __VA_ARGS__)
#define PyUnicode_AsUTF8(...) PATCH_EUS_FAIL_NULL(PyUnicode_AsUTF8, __VA_ARGS__)
#define PyUnicode_Concat(...) PATCH_EUS_FAIL_NULL(PyUnicode_Concat, __VA_ARGS__)
#define PyUnicode_DecodeFSDefaultAndSize(...) \
    PATCH_EUS_FAIL_NULL(PyUnicode_DecodeFSDefaultAndSize, __VA_ARGS__)
#define PyUnicode_EncodeFSDefault(...) PATCH_EUS_FAIL_NULL(PyUnicode_EncodeFSDefault, __VA_ARGS__)
#define PyUnicode_FromFormat(...) PATCH_EUS_FAIL_NULL(PyUnicode_FromFormat, __VA_ARGS__)
#define PyUnicode_FromString(...) PATCH_EUS_FAIL_NULL(PyUnicode_FromString, __VA_ARGS__)
#define PyUnicode_InternFromString(...) PATCH_EUS_FAIL_NULL(PyUnicode_InternFromString, __VA_ARGS__)
#define PyUnicode_Join(...) PATCH_EUS_FAIL_NULL(PyUnicode_Join, __VA_ARGS__)
#define PyUnicode_New(...) PATCH_EUS_FAIL_NULL(PyUnicode_New, __VA_ARGS__)
#define PyUnicode_Substring(...) PATCH_EUS_FAIL_NULL(PyUnicode_Substring, __VA_ARGS__)
#define PyUnstable_Code_NewWithPosOnlyArgs(...) \
    PATCH_EUS_FAIL_NULL(PyUnstable_Code_NewWithPosOnlyArgs, __VA_ARGS__)
#define _PyObject_GC_New(...) PATCH_EUS_FAIL_NULL(_PyObject_GC_New, __VA_ARGS__)

#define PyDict_DelItem(...) PATCH_EUS_FAIL_WITH(-1, PyDict_DelItem, __VA_ARGS__)
#define PyDict_SetItem(...) PATCH_EUS_FAIL_WITH(-1, PyDict_SetItem, __VA_ARGS__)
#define PyDict_SetItemString(...) PATCH_EUS_FAIL_WITH(-1, PyDict_SetItemString, __VA_ARGS__)
#define PyErr_CheckSignals(...) PATCH_EUS_FAIL_WITH(-1, PyErr_CheckSignals, __VA_ARGS__)
#define PyErr_WarnEx(...) PATCH_EUS_FAIL_WITH(-1, PyErr_WarnEx, __VA_ARGS__)
#define PyInterpreterState_GetID(...) PATCH_EUS_FAIL_WITH(-1, PyInterpreterState_GetID, __VA_ARGS__)
#define PyList_Append(...) PATCH_EUS_FAIL_WITH(-1, PyList_Append, __VA_ARGS__)
#define PyLong_AsUnsignedLongLong(...) \
    PATCH_EUS_FAIL_WITH(static_cast<unsigned long long>(-1), PyLong_AsUnsignedLongLong, __VA_ARGS__)
#define PyNumber_AsSsize_t(...) PATCH_EUS_FAIL_WITH(-1, PyNumber_AsSsize_t, __VA_ARGS__)
#define PyObject_Hash(...) PATCH_EUS_FAIL_WITH(-1, PyObject_Hash, __VA_ARGS__)
#define PyObject_IsTrue(...) PATCH_EUS_FAIL_WITH(-1, PyObject_IsTrue, __VA_ARGS__)
#define PyObject_Size(...) PATCH_EUS_FAIL_WITH(-1, PyObject_Size, __VA_ARGS__)
#define PyObject_RichCompareBool(...) PATCH_EUS_FAIL_WITH(-1, PyObject_RichCompareBool, __VA_ARGS__)
#define PyObject_SetAttrString(...) PATCH_EUS_FAIL_WITH(-1, PyObject_SetAttrString, __VA_ARGS__)
#define PySet_Add(...) PATCH_EUS_FAIL_WITH(-1, PySet_Add, __VA_ARGS__)
#define PyTraceBack_Here(...) PATCH_EUS_FAIL_WITH(-1, PyTraceBack_Here, __VA_ARGS__)
#define PyType_Ready(...) PATCH_EUS_FAIL_WITH(-1, PyType_Ready, __VA_ARGS__)
#define PyUnicode_FindChar(...) PATCH_EUS_FAIL_WITH(-2, PyUnicode_FindChar, __VA_ARGS__)
// A recursion check that fails raises, as the interpreter's own does.
#define Py_EnterRecursiveCall(...) PATCH_EUS_FAIL_WITH(1, Py_EnterRecursiveCall, __VA_ARGS__)

#endif  // PATCH_EUS_INJECTION_CONTROL
