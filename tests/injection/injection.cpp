// The control module of the test-only build's failure injection, and the module's counted operator new.
// velmora.pipeline._patch_eus_injection, loaded from the module's own
// library:
//   arm(points, exception)  count the module's calls from now on; the calls
//                           numbered in `points` (from 1) fail, each with a
//                           new `exception` naming the call and its place
//   disarm() -> (calls, fired)   stop; how many calls were counted, and the
//                           (call, place) of each that failed
//   references() -> int     the references the module holds for the life of
//                           the process (its constants, the recorded module,
//                           the builtins it bound), for the leak check
//   dump_coverage()         writes a coverage build's counts now, for a
//                           process that ends without exiting (os._exit)
#include "injection.hpp"

#include "host/constants.hpp"
#include "host/state.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace patch_eus {
namespace injection {

namespace {

constexpr int kMostPoints = 16;

struct Fired {
    const char* api;
    const char* file;
    int line;
};

std::atomic<bool> armed{false};
std::atomic<long> counted{0};
long points[kMostPoints];
int point_count = 0;
Fired fired[kMostPoints];
std::atomic<int> fired_count{0};
PyObject* exception = nullptr;  // owned while armed

// The place of a call relative to the module's folder.
const char* short_file(const char* file) {
    const char* at = std::strstr(file, "patch_eus/");
    return at ? at + std::strlen("patch_eus/") : file;
}

// Counts one call; true when its number was named.
bool count_one(const char* api, const char* file, int line) {
    if (!armed.load(std::memory_order_relaxed)) return false;
    const long n = ++counted;
    for (int k = 0; k < point_count; ++k) {
        if (points[k] != n) continue;
        const int slot = fired_count++;
        if (slot < kMostPoints) fired[slot] = Fired{api, short_file(file), line};
        return true;
    }
    return false;
}

PyObject* arm(PyObject*, PyObject* args) {
    PyObject *wanted, *kind;
    if (!PyArg_ParseTuple(args, "OO:arm", &wanted, &kind)) return nullptr;
    if (!PyExceptionClass_Check(kind)) {
        PyErr_SetString(PyExc_TypeError, "arm(points, exception): exception must be a class");
        return nullptr;
    }
    PyObject* list = PySequence_List(wanted);
    if (!list) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n > kMostPoints) {
        Py_DECREF(list);
        PyErr_Format(PyExc_ValueError, "at most %d points", kMostPoints);
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        points[k] = PyLong_AsLong(PyList_GET_ITEM(list, k));
        if (points[k] == -1 && PyErr_Occurred()) {
            Py_DECREF(list);
            return nullptr;
        }
    }
    Py_DECREF(list);
    point_count = static_cast<int>(n);
    Py_INCREF(kind);
    Py_XSETREF(exception, kind);
    counted = 0;
    fired_count = 0;
    armed = true;
    Py_RETURN_NONE;
}

PyObject* disarm(PyObject*, PyObject*) {
    armed = false;
    const int n = fired_count < kMostPoints ? fired_count.load() : kMostPoints;
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    for (int k = 0; k < n; ++k) {
        PyObject* entry = Py_BuildValue(
            "(sN)", fired[k].api, PyUnicode_FromFormat("%s:%d", fired[k].file, fired[k].line));
        if (!entry || PyList_Append(list, entry) < 0) {
            Py_XDECREF(entry);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(entry);
    }
    Py_CLEAR(exception);
    return Py_BuildValue("(lN)", counted.load(), list);
}

// The references the module's constants hold.  Small ints and
// one-character texts are the interpreter's shared objects, which any code
// references: they are left out.
Py_ssize_t constant_references() {
    Py_ssize_t total = 0;
    for (const Constant* c = first_constant(); c; c = c->next()) {
        PyObject* o = c->get();
        if (o && PyUnicode_Check(o) && PyUnicode_GET_LENGTH(o) > 1) total += Py_REFCNT(o);
    }
    return total;
}

PyObject* references(PyObject*, PyObject*) {
    const State& st = state();
    Py_ssize_t total = constant_references();
    for (PyObject* held : {st.module, st.builtins, st.print, st.round})
        if (held) total += Py_REFCNT(held);
    return PyLong_FromSsize_t(total);
}

#ifdef PATCH_EUS_COVERAGE
extern "C" void __gcov_dump(void);
#endif

PyObject* dump_coverage(PyObject*, PyObject*) {
#ifdef PATCH_EUS_COVERAGE
    __gcov_dump();
#endif
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"arm", arm, METH_VARARGS, "arm(points, exception): fail the module's calls so numbered"},
    {"disarm", disarm, METH_NOARGS, "disarm() -> (calls counted, [(call, place) that failed])"},
    {"references", references, METH_NOARGS, "references the module holds for good"},
    {"dump_coverage", dump_coverage, METH_NOARGS, "a coverage build's counts, written now"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef control_def = {
    PyModuleDef_HEAD_INIT, "_patch_eus_injection", "Failure injection of the test-only build.",
    -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

bool count_one_allocation() { return count_one("operator new", "", 0); }

bool fails(const char* api, const char* file, int line) {
    if (!count_one(api, file, line)) return false;
    PyErr_Format(exception ? exception : PyExc_MemoryError, "%s at %s:%d", api, short_file(file),
                 line);
    return true;
}

}  // namespace injection
}  // namespace patch_eus

PyMODINIT_FUNC PyInit__patch_eus_injection(void) {
    return PyModule_Create(&patch_eus::injection::control_def);
}

// The module's allocations are counted calls too; one that fails throws, as
// an allocator that runs out does.
void* operator new(std::size_t size) {
    if (patch_eus::injection::count_one_allocation()) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (patch_eus::injection::count_one_allocation()) return nullptr;
    return std::malloc(size ? size : 1);
}

void* operator new[](std::size_t size) { return operator new(size); }

void operator delete(void* p) noexcept { std::free(p); }

void operator delete[](void* p) noexcept { std::free(p); }
