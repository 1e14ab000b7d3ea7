// The module's boundary with the interpreter: its definition, the creation
// and execution steps of multi-phase initialisation, and the two function
// objects it exposes.
#include "function_type.hpp"

#include "../patching/patching.hpp"
#include "../period/period.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace patch_eus {

namespace {

const char kModuleDoc[] =
    "\nPatch: single-period gap interpolation in brz_eus_tahmin.\n\n"
    "Post-ingest manipulation \xe2\x80\x94 deliberately separate from ingest.\n";

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

const FunctionSpec kNextDonemSpec = {"_next_donem", &text::d, true, Where::next_donem, 13,
                                     next_donem};
const FunctionSpec kPatchSpec = {"patch_eus_gaps", &text::db_path, false, Where::patch_eus_gaps,
                                 23, patch_eus_gaps};

// Fails the load with a traceback entry at `line`.
int fail_at(int line, PyObject* globals) {
    add_traceback(Where::init, line, globals);
    return -1;
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
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        1, 0, 0, nlocals, 0, flags, no_bytes.get(), no_names.get(), no_names.get(),
        varnames.get(), no_names.get(), no_names.get(), text::source_file, name, name, first_line,
        no_bytes.get(), no_bytes.get()));
#elif PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        1, 0, 0, nlocals, 0, flags, no_bytes.get(), no_names.get(), no_names.get(),
        varnames.get(), no_names.get(), no_names.get(), text::source_file, name, name, first_line,
        no_bytes.get(), no_bytes.get()));
#else
    PyCodeObject* code = PyCode_NewWithPosOnlyArgs(
        1, 0, 0, nlocals, 0, flags, no_bytes.get(), no_names.get(), no_names.get(),
        varnames.get(), no_names.get(), no_names.get(), text::source_file, name, first_line,
        no_bytes.get());
    // These interpreters add CO_NOFREE on their own; the flags stay exactly
    // "optimised, new locals".
    if (code) code->co_flags = flags;
    return reinterpret_cast<PyObject*>(code);
#endif
}

// `import name` (or `from name import attr`): a module already in
// sys.modules is used as it is, anything else goes through the import
// machinery.  New reference or NULL.
PyObject* import_module(PyObject* globals, PyObject* name, PyObject* wanted_attr) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemWithError(modules, name);
    if (!present && PyErr_Occurred()) return nullptr;
    if (present && present != Py_None &&
        (!wanted_attr || PyObject_HasAttr(present, wanted_attr))) {
        Py_INCREF(present);
        return present;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    Ref fromlist;
    if (wanted_attr) {
        fromlist = Ref::steal(PyList_New(1));
        if (!fromlist) return nullptr;
        Py_INCREF(wanted_attr);
        PyList_SET_ITEM(fromlist.get(), 0, wanted_attr);
    }
    return PyImport_ImportModuleLevelObject(name, globals, locals.get(), fromlist.get(), 0);
}

// `from module import attr`, with the fallback to a submodule of that name.
PyObject* import_from(PyObject* module, PyObject* attr) {
    PyObject* value = PyObject_GetAttr(module, attr);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (module_name) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), attr));
        if (!full) return nullptr;
        value = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
        if (value) {
            Py_INCREF(value);
            return value;
        }
        if (PyErr_Occurred()) return nullptr;
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
    return nullptr;
}

int bind_builtin(PyObject* builtins, PyObject* name, PyObject*& slot) {
    PyObject* value = PyObject_GetAttr(builtins, name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return -1;
    }
    Py_XSETREF(slot, value);
    return 0;
}

// Warns when the interpreter's major.minor differs from the headers the
// module was compiled with.
int check_version() {
    int major = 0, minor = 0;
    const char* v = Py_GetVersion();
    while (*v >= '0' && *v <= '9') major = major * 10 + (*v++ - '0');
    if (*v == '.') {
        ++v;
        while (*v >= '0' && *v <= '9') minor = minor * 10 + (*v++ - '0');
    }
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "velmora.pipeline.patch_eus",
                  "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// Binds one of the two functions as a global (the statement at `line`).
int define_function(PyObject* globals, const FunctionSpec* spec, PyObject* name, PyObject* doc_text,
                    PyObject* code, PyObject* annotations) {
    Ref function = Ref::steal(new_function(spec, name, doc_text, globals, code, annotations));
    if (!function) return -1;
    return PyDict_SetItem(globals, name, function.get());
}

// Everything the execution step does once the module is recorded; an entry
// in sys.modules that it added is reported through `added_entry`.
int execute(PyObject* module, bool& added_entry) {
    State& st = state();
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) return -1;
    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins) return -1;
    Py_INCREF(builtins);
    Py_XSETREF(st.builtins, builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return -1;
    if (check_version() < 0) return -1;
    if (init_constants() < 0) return -1;

    if (ready_function_type() < 0) return fail_at(1, globals);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = PyDict_GetItemWithError(modules, text::module_name);
    if (!registered) {
        if (PyErr_Occurred()) return fail_at(1, globals);
        if (PyDict_SetItem(modules, text::module_name, module) < 0) return fail_at(1, globals);
        added_entry = true;
    }
    if (bind_builtin(builtins, text::print, st.print) < 0) return fail_at(1, globals);
    if (bind_builtin(builtins, text::round, st.round) < 0) return fail_at(1, globals);
    PyObject* code = make_code(text::next_donem, 13, kNextDonemLocals);
    if (!code) return fail_at(1, globals);
    Py_XSETREF(st.code_next_donem, code);
    code = make_code(text::patch_eus_gaps, 23, kPatchLocals);
    if (!code) return fail_at(1, globals);
    Py_XSETREF(st.code_patch_eus_gaps, code);

    // from pathlib import Path
    Ref pathlib = Ref::steal(import_module(globals, text::pathlib, text::Path));
    if (!pathlib) return fail_at(7, globals);
    Ref path_class = Ref::steal(import_from(pathlib.get(), text::Path));
    if (!path_class) return fail_at(7, globals);
    if (PyDict_SetItem(globals, text::Path, path_class.get()) < 0) return fail_at(7, globals);

    // import duckdb
    Ref duckdb = Ref::steal(import_module(globals, text::duckdb, nullptr));
    if (!duckdb || PyDict_SetItem(globals, text::duckdb, duckdb.get()) < 0)
        return fail_at(9, globals);

    // import pandas as pd
    Ref pandas = Ref::steal(import_module(globals, text::pandas, nullptr));
    if (!pandas || PyDict_SetItem(globals, text::pd, pandas.get()) < 0)
        return fail_at(10, globals);

    // def _next_donem(d: str) -> str
    {
        Ref annotations = Ref::steal(PyDict_New());
        Ref doc = Ref::steal(PyUnicode_FromString(kNextDonemDoc));
        if (!annotations || !doc || PyDict_SetItem(annotations.get(), text::d, text::str) < 0 ||
            PyDict_SetItem(annotations.get(), text::ret, text::str) < 0 ||
            define_function(globals, &kNextDonemSpec, text::next_donem, doc.get(),
                            st.code_next_donem, annotations.get()) < 0)
            return fail_at(13, globals);
    }
    // def patch_eus_gaps(db_path: Path)
    {
        Ref annotations = Ref::steal(PyDict_New());
        Ref doc = Ref::steal(PyUnicode_FromString(kPatchDoc));
        if (!annotations || !doc ||
            PyDict_SetItem(annotations.get(), text::db_path, text::Path) < 0 ||
            define_function(globals, &kPatchSpec, text::patch_eus_gaps, doc.get(),
                            st.code_patch_eus_gaps, annotations.get()) < 0)
            return fail_at(23, globals);
    }

    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(globals, text::test, test.get()) < 0) return fail_at(1, globals);
    return 0;
}

// The identifier of the first interpreter that asked for the module, -1
// until then.  Interpreters with a GIL of their own may ask at the same
// time, so it is claimed with one atomic compare-and-set, before anything
// else of the module's is touched.
std::atomic<int64_t> recorded_interpreter{-1};

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1 && PyErr_Occurred()) return nullptr;
    int64_t recorded = -1;
    if (!recorded_interpreter.compare_exchange_strong(recorded, interpreter) &&
        recorded != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    State& st = state();
    if (st.module) {
        Py_INCREF(st.module);
        return st.module;
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* globals = PyModule_GetDict(module.get());
    if (!globals) return nullptr;
    struct Copy {
        const char* from;
        const char* to;
        bool copy_none;
    };
    const Copy copies[] = {{"loader", "__loader__", true},
                           {"origin", "__file__", true},
                           {"parent", "__package__", true},
                           {"submodule_search_locations", "__path__", false}};
    for (const Copy& c : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, c.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && !c.copy_none) continue;
        if (PyDict_SetItemString(globals, c.to, value.get()) < 0) return nullptr;
    }
    return module.release();
}

int exec_module(PyObject* module) {
    State& st = state();
    if (st.module) {
        if (st.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'patch_eus' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    Py_INCREF(module);
    st.module = module;
    bool added_entry = false;
    if (execute(module, added_entry) == 0) return 0;

    // A failed load leaves nothing behind: the next import starts afresh.
    if (added_entry) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* entry = PyDict_GetItemWithError(modules, text::module_name);
        if (entry == module) PyDict_DelItem(modules, text::module_name);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    Py_CLEAR(st.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // An interpreter with a GIL of its own refuses, before the creation step,
    // any module that does not declare this; declared, every second
    // interpreter meets the creation step's own refusal instead.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "patch_eus",   // m_name
    kModuleDoc,    // m_doc
    0,             // m_size
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace patch_eus

PyMODINIT_FUNC PyInit_patch_eus(void) { return PyModuleDef_Init(&patch_eus::module_def); }
