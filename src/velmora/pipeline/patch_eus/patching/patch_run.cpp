// The repair run: the database calls, the early exits, the insert and the report, in order.
#include "patching.hpp"

#include "names.hpp"

#include "../host/calls.hpp"
#include "../host/constants.hpp"
#include "../host/failure.hpp"
#include "../host/file_claims.hpp"
#include "../host/folder_sync.hpp"
#include "../host/state.hpp"
#include "../period/period.hpp"

namespace patch_eus {

namespace {

// Source lines of the run's statements in `patch_eus_gaps`.
namespace line {
constexpr int connect = 34;          // str(db_path) and connect
constexpr int min_period = 37;       // the query, fetchone, [0]
constexpr int max_period = 38;
constexpr int empty_test = 40;
constexpr int empty_print = 41;
constexpr int empty_close = 42;
constexpr int short_print = 53;
constexpr int short_close = 54;
constexpr int read_query = 58;
constexpr int fetch_frame = 60;
constexpr int no_gaps_print = 98;
constexpr int no_gaps_close = 99;
constexpr int patch_frame = 102;
constexpr int register_frame = 103;
constexpr int insert = 104;
constexpr int unregister_frame = 105;
constexpr int count_periods = 108;   // groupby and size
constexpr int summary = 109;         // the row count, joining and printing the line
constexpr int distinct_periods = 110;
constexpr int distinct_firms = 111;
constexpr int period_items = 112;    // items, the iteration, unpacking a pair
constexpr int period_line = 113;     // formatting, joining and printing a line
constexpr int close = 115;
}  // namespace line

Text connect_name{"connect"};
Text execute_name{"execute"};
Text fetchone_name{"fetchone"};
Text fetchdf_name{"fetchdf"};
Text register_name{"register"};
Text unregister_name{"unregister"};
Text close_name{"close"};
Text data_frame_name{"DataFrame"};
Text groupby_name{"groupby"};
Text size_name{"size"};
Text nunique_name{"nunique"};
Text items_name{"items"};
Text patch_frame_name{"_patch_df"};
Text min_sql{"SELECT MIN(donem) FROM brz_eus_tahmin"};
Text max_sql{"SELECT MAX(donem) FROM brz_eus_tahmin"};
Text read_sql{"SELECT muta, donem, eus_skor, eus_ihtimal FROM brz_eus_tahmin"};
Text insert_sql{"INSERT INTO brz_eus_tahmin SELECT * FROM _patch_df"};
Text skip_empty{"  [SKIP] patch_eus_gaps: empty table"};
Text skip_short{"  [SKIP] patch_eus_gaps: <3 calendar periods"};
Text no_gaps{"  patch_eus_gaps: 0 single-period gaps found"};
Text summary_head{"  patch_eus_gaps: "};
Text summary_rows{" rows inserted ("};
Text summary_periods{" periods, "};
Text summary_firms{" firms)"};
Text period_indent{"    "};
Text period_separator{": "};
Text period_tail{" firms patched"};
Number zero{0};

// The text that connect is given for `db_path`: a str as it is, bytes
// decoded as the file-system path they name (as os.fsdecode does), and
// anything else through str(), once.  A text with a NUL character in it
// names no file (DuckDB would cut it there and open another one): it is
// refused before anything is opened, as the interpreter's own file
// functions refuse it.  New reference or NULL.
PyObject* path_text(PyObject* db_path) {
    Ref text;
    if (PyUnicode_CheckExact(db_path))
        text = Ref::borrow(db_path);
    else if (PyBytes_Check(db_path))
        text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(db_path),
                                                           PyBytes_GET_SIZE(db_path)));
    else
        text = Ref::steal(PyObject_Str(db_path));
    if (!text) return nullptr;
    const Py_ssize_t nul = PyUnicode_FindChar(text.get(), 0, 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (nul == -2) return nullptr;
    if (nul >= 0) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return text.release();
}

// print(line) with the builtin bound at load; -1 on failure.
int print_line(PyObject* text) {
    if (!text) return -1;
    Ref result = Ref::steal(PyObject_CallOneArg(state().print, text));
    return result ? 0 : -1;
}

// con.execute(sql).fetchone()[0]
PyObject* query_scalar(PyObject* con, PyObject* sql) {
    Ref result = Ref::steal(call_method(con, execute_name, sql));
    if (!result) return nullptr;
    Ref row = Ref::steal(call_method(result.get(), fetchone_name));
    if (!row) return nullptr;
    return PyObject_GetItem(row.get(), zero);
}

// format(frame[column].nunique(), "")
PyObject* distinct_count_text(PyObject* frame, PyObject* column) {
    Ref series = Ref::steal(PyObject_GetItem(frame, column));
    if (!series) return nullptr;
    Ref count = Ref::steal(call_method(series.get(), nunique_name));
    if (!count) return nullptr;
    return PyObject_Format(count.get(), empty_text);
}

// A normal exit: the line is printed, then the connection is closed and
// the folder synced.
PyObject* finish(const Failure& fail, PyObject* con, const FolderSync& folder, PyObject* text,
                 int print_at, int close_at) {
    if (print_line(text) < 0) return fail.at(print_at);
    Ref closed = Ref::steal(call_method(con, close_name));
    if (!closed) return fail.at(close_at);
    folder.sync();
    Py_RETURN_NONE;
}

// The summary line and one line per patched period, in the series' order.
// 0, or -1 with the traceback entry of the statement that failed.
int report(const Failure& fail, PyObject* patch_df, PyObject* period_counts) {
    // "  patch_eus_gaps: N rows inserted (P periods, F firms)"
    Py_ssize_t row_count = PyObject_Length(patch_df);
    if (row_count < 0) return fail.status(line::summary);
    Ref row_count_obj = Ref::steal(PyLong_FromSsize_t(row_count));
    if (!row_count_obj) return fail.status(line::summary);
    Ref row_count_text = Ref::steal(PyObject_Format(row_count_obj.get(), empty_text));
    if (!row_count_text) return fail.status(line::summary);
    Ref period_text = Ref::steal(distinct_count_text(patch_df, names::donem));
    if (!period_text) return fail.status(line::distinct_periods);
    Ref firm_text = Ref::steal(distinct_count_text(patch_df, names::muta));
    if (!firm_text) return fail.status(line::distinct_firms);
    Ref summary = Ref::steal(join_texts({summary_head, row_count_text.get(), summary_rows,
                                         period_text.get(), summary_periods, firm_text.get(),
                                         summary_firms}));
    if (print_line(summary.get()) < 0) return fail.status(line::summary);

    // "    <period>: <count> firms patched"
    Ref pairs = Ref::steal(call_method(period_counts, items_name));
    if (!pairs) return fail.status(line::period_items);
    return for_each_item(pairs.get(), fail, line::period_items, [&fail](PyObject* pair) {
        Ref d, cnt;
        if (unpack2(pair, d, cnt) < 0) return fail.status(line::period_items);
        Ref d_text = Ref::steal(PyObject_Format(d.get(), empty_text));
        Ref cnt_text = d_text ? Ref::steal(PyObject_Format(cnt.get(), empty_text)) : Ref();
        Ref text = Ref::steal(join_texts(
            {period_indent, d_text.get(), period_separator, cnt_text.get(), period_tail}));
        return print_line(text.get()) < 0 ? fail.status(line::period_line) : 0;
    });
}

}  // namespace

PyObject* patch_eus_gaps(PyObject* globals, PyObject* db_path) {
    const Failure fail(Where::patch_eus_gaps, globals);

    // con = duckdb.connect(str(db_path)), once no other run of this
    // process has the file; it is given back after `con` is released.  The
    // folder the path names is synced at every normal exit, after close.
    Ref duckdb = Ref::steal(lookup_global(globals, names::duckdb));
    if (!duckdb) return fail.at(line::connect);
    Ref path = Ref::steal(path_text(db_path));
    if (!path) return fail.at(line::connect);
    FolderSync folder;
    if (folder.prepare(path.get()) < 0) return fail.at(line::connect);
    FileClaim claim;
    if (claim.take(path.get()) < 0) return fail.at(line::connect);
    Ref con = Ref::steal(call_method(duckdb.get(), connect_name, path.get()));
    if (!con) return fail.at(line::connect);

    Ref min_d = Ref::steal(query_scalar(con.get(), min_sql));
    if (!min_d) return fail.at(line::min_period);
    Ref max_d = Ref::steal(query_scalar(con.get(), max_sql));
    if (!max_d) return fail.at(line::max_period);

    int has_rows = PyObject_IsTrue(min_d.get());
    if (has_rows > 0) has_rows = PyObject_IsTrue(max_d.get());
    if (has_rows < 0) return fail.at(line::empty_test);
    if (!has_rows)
        return finish(fail, con.get(), folder, skip_empty, line::empty_print, line::empty_close);

    Ref calendar = Ref::steal(build_calendar(globals, min_d.get(), max_d.get()));
    if (!calendar) return nullptr;
    if (PyList_GET_SIZE(calendar.get()) < 3)
        return finish(fail, con.get(), folder, skip_short, line::short_print, line::short_close);

    Ref read = Ref::steal(call_method(con.get(), execute_name, read_sql));
    if (!read) return fail.at(line::read_query);
    Ref eus = Ref::steal(call_method(read.get(), fetchdf_name));
    if (!eus) return fail.at(line::fetch_frame);

    Ref rows = Ref::steal(find_gap_rows(globals, eus.get(), calendar.get()));
    if (!rows) return nullptr;
    if (PyList_GET_SIZE(rows.get()) == 0)
        return finish(fail, con.get(), folder, no_gaps, line::no_gaps_print, line::no_gaps_close);

    Ref pandas = Ref::steal(lookup_global(globals, names::pd));
    if (!pandas) return fail.at(line::patch_frame);
    Ref patch_df = Ref::steal(call_method(pandas.get(), data_frame_name, rows.get()));
    if (!patch_df) return fail.at(line::patch_frame);

    Ref registered =
        Ref::steal(call_method(con.get(), register_name, patch_frame_name, patch_df.get()));
    if (!registered) return fail.at(line::register_frame);
    Ref inserted = Ref::steal(call_method(con.get(), execute_name, insert_sql));
    if (!inserted) return fail.at(line::insert);
    Ref unregistered = Ref::steal(call_method(con.get(), unregister_name, patch_frame_name));
    if (!unregistered) return fail.at(line::unregister_frame);

    Ref grouped = Ref::steal(call_method(patch_df.get(), groupby_name, names::donem));
    if (!grouped) return fail.at(line::count_periods);
    Ref period_counts = Ref::steal(call_method(grouped.get(), size_name));
    if (!period_counts) return fail.at(line::count_periods);

    if (report(fail, patch_df.get(), period_counts.get()) < 0) return nullptr;

    Ref closed = Ref::steal(call_method(con.get(), close_name));
    if (!closed) return fail.at(line::close);
    folder.sync();
    Py_RETURN_NONE;
}

}  // namespace patch_eus
