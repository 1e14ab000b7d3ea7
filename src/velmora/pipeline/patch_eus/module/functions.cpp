// The module's two functions: docstrings, code objects, annotations, how they bind, and the test hook.
#include "functions.hpp"

#include "function_type.hpp"

#include "../host/names.hpp"
#include "../host/state.hpp"
#include "../patching/patching.hpp"
#include "../period/period.hpp"

#include <initializer_list>
#include <utility>

namespace patch_eus {

namespace {

// Source lines of the two definitions: failures of binding either function
// name them, and the code objects start there.
namespace line {
constexpr int define_next_donem = 13;
constexpr int define_patch_eus_gaps = 23;
}  // namespace line

const char kNextDonemDoc[] = "YYMM \xe2\x86\x92 next month. '2512' \xe2\x86\x92 '2601'.";

const char kPatchDoc[] =
    "Patch single-period gaps in brz_eus_tahmin by interpolation.\n"
    "\n"
    "    For each muta: if period N-1 and N+1 have eus_skor but N doesn't,\n"
    "    insert a new row for N with eus_skor = avg(N-1, N+1).\n"
    "    Does NOT modify existing rows \xe2\x80\x94 only inserts new ones.\n"
    "\n"
    "    Uses calendar-based period sequence (YYMM), not just existing periods.\n"
    "    This correctly handles entirely missing periods (e.g., 2507 doesn't\n"
    "    exist at all in the table).\n"
    "    ";

const char* const kNextDonemLocals[] = {"d", "yy", "mm"};

const char* const kPatchLocals[] = {
    "db_path",   "con",       "min_d",      "max_d",      "calendar",   "d",        "eus",
    "eus_lookup", "_",        "row",        "rows",       "i",          "prev_d",   "gap_d",
    "next_d",    "prev_mutas", "next_mutas", "gap_mutas", "candidates", "muta",     "prev_skor",
    "prev_iht",  "next_skor", "next_iht",   "avg_skor",   "avg_iht",    "patch_df", "period_counts",
    "cnt",       "m",         "d",          "m",          "d",          "m",        "d"};

Text patch_eus_gaps_name{"patch_eus_gaps"};
Text d{"d"};
Text db_path{"db_path"};
Text str_name{"str"};
Text return_name{"return"};

const FunctionSpec kNextDonemSpec = {&next_donem_name,        &d,
                                     true,                    Where::next_donem,
                                     line::define_next_donem, next_donem};
const FunctionSpec kPatchSpec = {&patch_eus_gaps_name,        &db_path,
                                 false,                       Where::patch_eus_gaps,
                                 line::define_patch_eus_gaps, patch_eus_gaps};

// The code objects of the two functions, made at the first load.
PyObject* next_donem_code = nullptr;
PyObject* patch_eus_gaps_code = nullptr;

// Private, for the tests that compare the two ways the gap search can read
// a frame: _gap_rows(frame, calendar, allow_shortcut) -> (shortcut_taken,
// lookup, rows), run in the module's globals.  A static method of the
// function type.
PyObject* gap_rows_probe(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "_gap_rows(frame, calendar: list, allow_shortcut)");
        return nullptr;
    }
    if (!state().module) {
        PyErr_SetString(PyExc_RuntimeError, "the module is not loaded");
        return nullptr;
    }
    int allowed = PyObject_IsTrue(args[2]);
    if (allowed < 0) return nullptr;
    GapSearchTrace trace;
    Ref rows = Ref::steal(find_gap_rows_traced(PyModule_GetDict(state().module), args[0], args[1],
                                               allowed != 0, &trace));
    if (!rows) return nullptr;
    return PyTuple_Pack(3, trace.shortcut_taken ? Py_True : Py_False, trace.lookup.get(),
                        rows.get());
}

template <size_t N>
PyObject* interned_tuple(const char* const (&names)[N]) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < N; ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple.release();
}

// A code object without instructions that describes the function's
// parameters and locals for introspection.
template <size_t N>
PyObject* make_code(PyObject* name, int first_line, const char* const (&locals)[N]) {
    Ref varnames = Ref::steal(interned_tuple(locals));
    Ref no_names = Ref::steal(PyTuple_New(0));
    Ref no_bytes = Ref::steal(PyBytes_FromStringAndSize("", 0));
    if (!varnames || !no_names || !no_bytes) return nullptr;
    const int nlocals = static_cast<int>(N);
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
#if PY_VERSION_HEX >= 0x030C0000
    // The unstable tier of the C API, which may change with any minor
    // release: checked on 3.12 and 3.13.
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        1, 0, 0, nlocals, 0, flags, no_bytes.get(), no_names.get(), no_names.get(),
        varnames.get(), no_names.get(), no_names.get(), source_file, name, name, first_line,
        no_bytes.get(), no_bytes.get()));
#elif PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        1, 0, 0, nlocals, 0, flags, no_bytes.get(), no_names.get(), no_names.get(),
        varnames.get(), no_names.get(), no_names.get(), source_file, name, name, first_line,
        no_bytes.get(), no_bytes.get()));
#else
    PyCodeObject* code = PyCode_NewWithPosOnlyArgs(
        1, 0, 0, nlocals, 0, flags, no_bytes.get(), no_names.get(), no_names.get(),
        varnames.get(), no_names.get(), no_names.get(), source_file, name, first_line,
        no_bytes.get());
    // These interpreters add CO_NOFREE on their own; the flags stay exactly
    // "optimised, new locals".
    if (code) code->co_flags = flags;
    return reinterpret_cast<PyObject*>(code);
#endif
}

// Binds one of the two functions as a global.
int define_function(PyObject* globals, const FunctionSpec* spec, const char* doc_text,
                    PyObject* code, PyObject* annotations) {
    Ref doc = Ref::steal(PyUnicode_FromString(doc_text));
    if (!doc) return -1;
    Ref function = Ref::steal(new_function(spec, doc.get(), globals, code, annotations));
    if (!function) return -1;
    return PyDict_SetItem(globals, *spec->name, function.get());
}

// A dict of the annotations, in order; NULL on failure.
PyObject* annotations_of(std::initializer_list<std::pair<PyObject*, PyObject*>> entries) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return nullptr;
    for (const auto& [name, value] : entries)
        if (PyDict_SetItem(annotations.get(), name, value) < 0) return nullptr;
    return annotations.release();
}

}  // namespace

const PyMethodDef function_type_extras[] = {
    {"_gap_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(gap_rows_probe)),
     METH_FASTCALL | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int make_function_codes() {
    if (!next_donem_code)
        next_donem_code = make_code(next_donem_name, line::define_next_donem, kNextDonemLocals);
    if (!patch_eus_gaps_code)
        patch_eus_gaps_code =
            make_code(patch_eus_gaps_name, line::define_patch_eus_gaps, kPatchLocals);
    return next_donem_code && patch_eus_gaps_code ? 0 : -1;
}

int define_next_donem(PyObject* globals) {
    Ref annotations = Ref::steal(annotations_of({{d, str_name}, {return_name, str_name}}));
    if (!annotations || define_function(globals, &kNextDonemSpec, kNextDonemDoc, next_donem_code,
                                        annotations.get()) < 0)
        return Failure(Where::init, globals).status(line::define_next_donem);
    return 0;
}

int define_patch_eus_gaps(PyObject* globals, PyObject* path_name) {
    Ref annotations = Ref::steal(annotations_of({{db_path, path_name}}));
    if (!annotations || define_function(globals, &kPatchSpec, kPatchDoc, patch_eus_gaps_code,
                                        annotations.get()) < 0)
        return Failure(Where::init, globals).status(line::define_patch_eus_gaps);
    return 0;
}

}  // namespace patch_eus
