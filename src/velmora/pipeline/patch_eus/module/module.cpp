// The module put together: its definition and the creation and execution steps of loading.
#include "function_type.hpp"
#include "functions.hpp"

#include "../host/calls.hpp"
#include "../host/failure.hpp"
#include "../host/names.hpp"
#include "../host/state.hpp"
#include "../patching/names.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace patch_eus {

namespace {

const char kModuleDoc[] =
    "\nPatch: single-period gap interpolation in brz_eus_tahmin.\n\n"
    "Post-ingest manipulation \xe2\x80\x94 deliberately separate from ingest.\n";

Text path_name{"Path"};
Text pathlib_name{"pathlib"};
Text pandas_name{"pandas"};
Text print_name{"print"};
Text round_name{"round"};
Text test_name{"__test__"};

// Source lines of the other statements of loading.
namespace line {
constexpr int module = 1;  // everything else loading does once its constants exist
constexpr int import_path = 7;
constexpr int import_duckdb = 9;
constexpr int import_pandas = 10;
}  // namespace line

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

int bind_builtin(PyObject* name, PyObject*& slot) {
    PyObject* value = lookup_builtin(name);
    if (!value) return -1;
    Py_XSETREF(slot, value);
    return 0;
}

// Warns when the interpreter's major.minor differs from the headers the
// module was compiled with.
int check_version() {
    // The version text starts "major.minor."; an interpreter's own never
    // lacks them, and 0.0 would only warn.
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, PATCH_EUS_MODULE_NAME,
                  "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// Everything the execution step does once the module is recorded; an entry
// in sys.modules that it added is reported through `added_entry`.
int execute(PyObject* module, bool& added_entry) {
    State& st = state();
    PyObject* globals = PyModule_GetDict(module);  // never fails for a module
    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins) return -1;
    Py_INCREF(builtins);
    Py_XSETREF(st.builtins, builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return -1;
    if (check_version() < 0) return -1;
    if (make_constants() < 0) return -1;

    const Failure fail(Where::init, globals);
    if (ready_function_type(function_type_extras) < 0) return fail.status(line::module);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = PyDict_GetItemWithError(modules, module_name);
    if (!registered) {
        if (PyErr_Occurred()) return fail.status(line::module);
        if (PyDict_SetItem(modules, module_name, module) < 0) return fail.status(line::module);
        added_entry = true;
    }
    if (bind_builtin(print_name, st.print) < 0 || bind_builtin(round_name, st.round) < 0)
        return fail.status(line::module);
    if (make_function_codes() < 0) return fail.status(line::module);

    // from pathlib import Path
    Ref pathlib = Ref::steal(import_module(globals, pathlib_name, path_name));
    if (!pathlib) return fail.status(line::import_path);
    Ref path_class = Ref::steal(import_from(pathlib.get(), path_name));
    if (!path_class || PyDict_SetItem(globals, path_name, path_class.get()) < 0)
        return fail.status(line::import_path);

    // import duckdb
    Ref duckdb = Ref::steal(import_module(globals, names::duckdb, nullptr));
    if (!duckdb || PyDict_SetItem(globals, names::duckdb, duckdb.get()) < 0)
        return fail.status(line::import_duckdb);

    // import pandas as pd
    Ref pandas = Ref::steal(import_module(globals, pandas_name, nullptr));
    if (!pandas || PyDict_SetItem(globals, names::pd, pandas.get()) < 0)
        return fail.status(line::import_pandas);

    if (define_next_donem(globals) < 0 || define_patch_eus_gaps(globals, path_name) < 0) return -1;

    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(globals, test_name, test.get()) < 0)
        return fail.status(line::module);
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
    PyObject* globals = PyModule_GetDict(module.get());  // never fails for a module
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
        PyObject* entry = PyDict_GetItemWithError(modules, module_name);
        if (entry == module) PyDict_DelItem(modules, module_name);
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
