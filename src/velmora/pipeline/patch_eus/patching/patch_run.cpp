#include "patching.hpp"

#include "../period/period.hpp"

namespace patch_eus {

namespace {

// print(line) with the builtin bound at load; -1 on failure.
int print_line(PyObject* line) {
    if (!line) return -1;
    Ref result = Ref::steal(PyObject_CallOneArg(state().print, line));
    return result ? 0 : -1;
}

// con.execute(sql).<fetch>()
PyObject* query(PyObject* con, PyObject* sql, PyObject* fetch) {
    Ref result = Ref::steal(call_method1(con, text::execute, sql));
    if (!result) return nullptr;
    return call_method0(result.get(), fetch);
}

// con.execute(sql).fetchone()[0]
PyObject* query_scalar(PyObject* con, PyObject* sql) {
    Ref row = Ref::steal(query(con, sql, text::fetchone));
    if (!row) return nullptr;
    return PyObject_GetItem(row.get(), num::zero);
}

// format(frame[column].nunique(), "")
PyObject* distinct_count_text(PyObject* frame, PyObject* column) {
    Ref series = Ref::steal(PyObject_GetItem(frame, column));
    if (!series) return nullptr;
    Ref count = Ref::steal(call_method0(series.get(), text::nunique));
    if (!count) return nullptr;
    return PyObject_Format(count.get(), text::empty);
}

}  // namespace

PyObject* patch_eus_gaps(PyObject* globals, PyObject* db_path) {
    auto fail = [globals](int line) -> PyObject* {
        add_traceback(Where::patch_eus_gaps, line, globals);
        return nullptr;
    };
    // A normal exit: the line is printed, then the connection is closed.
    auto finish = [&fail](PyObject* con, PyObject* line, int print_at, int close_at) -> PyObject* {
        if (print_line(line) < 0) return fail(print_at);
        Ref closed = Ref::steal(call_method0(con, text::close));
        if (!closed) return fail(close_at);
        Py_RETURN_NONE;
    };

    // con = duckdb.connect(str(db_path))
    Ref duckdb = Ref::steal(lookup_global(globals, text::duckdb));
    if (!duckdb) return fail(34);
    Ref path = PyUnicode_CheckExact(db_path) ? Ref::borrow(db_path)
                                             : Ref::steal(PyObject_Str(db_path));
    if (!path) return fail(34);
    Ref con = Ref::steal(call_method1(duckdb.get(), text::connect, path.get()));
    if (!con) return fail(34);

    Ref min_d = Ref::steal(query_scalar(con.get(), text::sql_min));
    if (!min_d) return fail(37);
    Ref max_d = Ref::steal(query_scalar(con.get(), text::sql_max));
    if (!max_d) return fail(38);

    int has_rows = PyObject_IsTrue(min_d.get());
    if (has_rows < 0) return fail(40);
    if (has_rows) {
        has_rows = PyObject_IsTrue(max_d.get());
        if (has_rows < 0) return fail(40);
    }
    if (!has_rows) return finish(con.get(), text::skip_empty, 41, 42);

    Ref calendar = Ref::steal(build_calendar(globals, min_d.get(), max_d.get()));
    if (!calendar) return nullptr;
    if (PyList_GET_SIZE(calendar.get()) < 3) return finish(con.get(), text::skip_short, 53, 54);

    Ref read = Ref::steal(call_method1(con.get(), text::execute, text::sql_read));
    if (!read) return fail(58);
    Ref eus = Ref::steal(call_method0(read.get(), text::fetchdf));
    if (!eus) return fail(60);

    Ref rows = Ref::steal(find_gap_rows(globals, eus.get(), calendar.get()));
    if (!rows) return nullptr;
    if (PyList_GET_SIZE(rows.get()) == 0) return finish(con.get(), text::no_gaps, 98, 99);

    Ref pd = Ref::steal(lookup_global(globals, text::pd));
    if (!pd) return fail(102);
    Ref patch_df = Ref::steal(call_method1(pd.get(), text::DataFrame, rows.get()));
    if (!patch_df) return fail(102);

    Ref registered =
        Ref::steal(call_method2(con.get(), text::register_, text::patch_df_name, patch_df.get()));
    if (!registered) return fail(103);
    Ref inserted = Ref::steal(call_method1(con.get(), text::execute, text::sql_insert));
    if (!inserted) return fail(104);
    Ref unregistered = Ref::steal(call_method1(con.get(), text::unregister, text::patch_df_name));
    if (!unregistered) return fail(105);

    Ref grouped = Ref::steal(call_method1(patch_df.get(), text::groupby, text::donem));
    if (!grouped) return fail(108);
    Ref period_counts = Ref::steal(call_method0(grouped.get(), text::size));
    if (!period_counts) return fail(108);

    // "  patch_eus_gaps: N rows inserted (P periods, F firms)"
    Py_ssize_t row_count = PyObject_Length(patch_df.get());
    if (row_count < 0) return fail(109);
    Ref row_count_obj = Ref::steal(PyLong_FromSsize_t(row_count));
    if (!row_count_obj) return fail(109);
    Ref row_count_text = Ref::steal(PyObject_Format(row_count_obj.get(), text::empty));
    if (!row_count_text) return fail(109);
    Ref period_text = Ref::steal(distinct_count_text(patch_df.get(), text::donem));
    if (!period_text) return fail(110);
    Ref firm_text = Ref::steal(distinct_count_text(patch_df.get(), text::muta));
    if (!firm_text) return fail(111);
    Ref summary = Ref::steal(join_texts({text::summary_head, row_count_text.get(),
                                         text::summary_rows, period_text.get(),
                                         text::summary_periods, firm_text.get(),
                                         text::summary_firms}));
    if (print_line(summary.get()) < 0) return fail(109);

    // "    <period>: <count> firms patched", in the series' order
    Ref pairs = Ref::steal(call_method0(period_counts.get(), text::items));
    if (!pairs) return fail(112);
    Ref pair_iter = Ref::steal(PyObject_GetIter(pairs.get()));
    if (!pair_iter) return fail(112);
    for (;;) {
        Ref pair = Ref::steal(PyIter_Next(pair_iter.get()));
        if (!pair) {
            if (PyErr_Occurred()) return fail(112);
            break;
        }
        Ref d, cnt;
        if (unpack2(pair.get(), d, cnt) < 0) return fail(112);
        Ref d_text = Ref::steal(PyObject_Format(d.get(), text::empty));
        if (!d_text) return fail(113);
        Ref cnt_text = Ref::steal(PyObject_Format(cnt.get(), text::empty));
        if (!cnt_text) return fail(113);
        Ref line = Ref::steal(join_texts({text::period_indent, d_text.get(), text::period_sep,
                                          cnt_text.get(), text::period_tail}));
        if (print_line(line.get()) < 0) return fail(113);
    }

    Ref closed = Ref::steal(call_method0(con.get(), text::close));
    if (!closed) return fail(115);
    Py_RETURN_NONE;
}

}  // namespace patch_eus
