// Process-wide state of the module: the recorded module, the
// builtins bound at load, the interned texts and integers the functions use,
// and the helpers every function body shares (traceback entries, global
// lookups, small call wrappers).
#pragma once

#include "pyref.hpp"

#include <cstdint>
#include <initializer_list>

namespace patch_eus {

// Every text the module uses, interned once at load.
#define PATCH_EUS_TEXTS(X)                                                          \
    X(empty, "")                                                                    \
    X(fmt_02d, "02d")                                                               \
    X(d, "d")                                                                       \
    X(yy, "yy")                                                                     \
    X(mm, "mm")                                                                     \
    X(db_path, "db_path")                                                           \
    X(ret, "return")                                                                \
    X(str, "str")                                                                   \
    X(Path, "Path")                                                                 \
    X(pathlib, "pathlib")                                                           \
    X(duckdb, "duckdb")                                                             \
    X(pandas, "pandas")                                                             \
    X(pd, "pd")                                                                     \
    X(print, "print")                                                               \
    X(round, "round")                                                               \
    X(builtins, "__builtins__")                                                     \
    X(test, "__test__")                                                             \
    X(next_donem, "_next_donem")                                                    \
    X(patch_eus_gaps, "patch_eus_gaps")                                             \
    X(module_name, "velmora.pipeline.patch_eus")                                    \
    X(source_file, "src/velmora/pipeline/patch_eus")                                \
    X(connect, "connect")                                                           \
    X(execute, "execute")                                                           \
    X(fetchone, "fetchone")                                                         \
    X(fetchdf, "fetchdf")                                                           \
    X(register_, "register")                                                        \
    X(unregister, "unregister")                                                     \
    X(close, "close")                                                               \
    X(DataFrame, "DataFrame")                                                       \
    X(groupby, "groupby")                                                           \
    X(size, "size")                                                                 \
    X(nunique, "nunique")                                                           \
    X(items, "items")                                                               \
    X(iterrows, "iterrows")                                                         \
    X(notna, "notna")                                                               \
    X(muta, "muta")                                                                 \
    X(donem, "donem")                                                               \
    X(eus_skor, "eus_skor")                                                         \
    X(eus_ihtimal, "eus_ihtimal")                                                   \
    X(patch_df_name, "_patch_df")                                                   \
    X(sql_min, "SELECT MIN(donem) FROM brz_eus_tahmin")                             \
    X(sql_max, "SELECT MAX(donem) FROM brz_eus_tahmin")                             \
    X(sql_read, "SELECT muta, donem, eus_skor, eus_ihtimal FROM brz_eus_tahmin")    \
    X(sql_insert, "INSERT INTO brz_eus_tahmin SELECT * FROM _patch_df")             \
    X(skip_empty, "  [SKIP] patch_eus_gaps: empty table")                           \
    X(skip_short, "  [SKIP] patch_eus_gaps: <3 calendar periods")                   \
    X(no_gaps, "  patch_eus_gaps: 0 single-period gaps found")                      \
    X(summary_head, "  patch_eus_gaps: ")                                           \
    X(summary_rows, " rows inserted (")                                             \
    X(summary_periods, " periods, ")                                                \
    X(summary_firms, " firms)")                                                     \
    X(period_indent, "    ")                                                        \
    X(period_sep, ": ")                                                             \
    X(period_tail, " firms patched")                                                \
    X(last_period, "9912")                                                          \
    X(values, "values")                                                             \
    X(fget, "fget")                                                                 \
    X(co_name, "co_name")                                                           \
    X(co_filename, "co_filename")                                                   \
    X(dunder_file, "__file__")                                                      \
    X(columns, "columns")                                                           \
    X(mgr, "_mgr")                                                                  \
    X(blocks, "blocks")                                                             \
    X(blknos, "blknos")                                                             \
    X(blklocs, "blklocs")                                                           \
    X(dtype, "dtype")                                                               \
    X(char_code, "char")                                                            \
    X(get_values, "get_values")                                                     \
    X(array_interface, "__array_interface__")                                       \
    X(typestr, "typestr")                                                           \
    X(shape, "shape")                                                               \
    X(data, "data")                                                                 \
    X(strides, "strides")                                                           \
    X(pandas_frame, "pandas.core.frame")                                            \
    X(pandas_index, "pandas.core.indexes.base")                                     \
    X(pandas_strings, "pandas.core.arrays.string_")                                 \
    X(numpy, "numpy")                                                               \
    X(ndarray, "ndarray")                                                           \
    X(Index, "Index")                                                               \
    X(StringDtype, "StringDtype")                                                   \
    X(object_code, "O")                                                             \
    X(double_code, "d")

namespace text {
#define PATCH_EUS_DECLARE_TEXT(id, value) extern PyObject* id;
PATCH_EUS_TEXTS(PATCH_EUS_DECLARE_TEXT)
#undef PATCH_EUS_DECLARE_TEXT
}  // namespace text

// Integer constants of the function bodies.
namespace num {
extern PyObject* zero;
extern PyObject* one;
extern PyObject* two;
extern PyObject* four;
extern PyObject* twelve;
}  // namespace num

// Builds the texts and integers once; later calls do nothing.  Returns -1 with
// an exception set on failure.
int init_constants();

struct State {
    PyObject* module = nullptr;   // the recorded module (owned), or none
    PyObject* builtins = nullptr; // the builtins module (owned)
    PyObject* print = nullptr;    // builtins bound at load (owned)
    PyObject* round = nullptr;
    PyObject* code_next_donem = nullptr;  // code objects of the two functions
    PyObject* code_patch_eus_gaps = nullptr;
};
State& state();

// Which function a traceback entry names.
enum class Where { init, next_donem, patch_eus_gaps };

// Adds one traceback entry (source file, function, line) to the exception
// being raised.  Leaves the exception otherwise untouched.
void add_traceback(Where where, int line, PyObject* globals);

// Looks a name up in the module's globals, then in the builtins; raises
// NameError when it is in neither.  New reference or NULL.
PyObject* lookup_global(PyObject* globals, PyObject* name);

// obj.name(args...) with positional arguments only; the method is looked up
// on the receiver at the moment of the call.  New reference or NULL.
PyObject* call_method0(PyObject* obj, PyObject* name);
PyObject* call_method1(PyObject* obj, PyObject* name, PyObject* arg);
PyObject* call_method2(PyObject* obj, PyObject* name, PyObject* a, PyObject* b);

// Unpacks an iterable of exactly two items as the interpreter does for
// `a, b = obj`, with the interpreter's messages.  Returns -1 on failure.
int unpack2(PyObject* obj, Ref& first, Ref& second);

// Concatenates texts; NULL if any part is NULL or the join fails.
PyObject* join_texts(std::initializer_list<PyObject*> parts);

}  // namespace patch_eus
