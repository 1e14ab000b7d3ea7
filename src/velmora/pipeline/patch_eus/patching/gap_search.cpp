#include "patching.hpp"

namespace patch_eus {

namespace {

// round((a + b) / 2, digits) with the builtin round bound at load.
PyObject* rounded_mean(PyObject* a, PyObject* b, PyObject* digits) {
    Ref sum = Ref::steal(PyNumber_Add(a, b));
    if (!sum) return nullptr;
    Ref mean = Ref::steal(PyNumber_TrueDivide(sum.get(), num::two));
    if (!mean) return nullptr;
    PyObject* args[] = {mean.get(), digits};
    return PyObject_Vectorcall(state().round, args, 2, nullptr);
}

// Truth value of pd.notna(value), `pd` and `notna` looked up afresh.
int is_present(PyObject* globals, PyObject* value) {
    Ref pd = Ref::steal(lookup_global(globals, text::pd));
    if (!pd) return -1;
    Ref notna = Ref::steal(PyObject_GetAttr(pd.get(), text::notna));
    if (!notna) return -1;
    Ref result = Ref::steal(PyObject_CallOneArg(notna.get(), value));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

}  // namespace

PyObject* find_gap_rows(PyObject* globals, PyObject* eus, PyObject* calendar) {
    auto fail = [globals](int line) -> PyObject* {
        add_traceback(Where::patch_eus_gaps, line, globals);
        return nullptr;
    };

    // Score lookup: (muta, donem) -> (eus_skor, eus_ihtimal) for every frame
    // row; a later duplicate replaces an earlier one.
    Ref lookup = Ref::steal(PyDict_New());
    if (!lookup) return fail(63);
    Ref frame_rows = Ref::steal(call_method0(eus, text::iterrows));
    if (!frame_rows) return fail(64);
    Ref frame_iter = Ref::steal(PyObject_GetIter(frame_rows.get()));
    if (!frame_iter) return fail(64);
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(frame_iter.get()));
        if (!item) {
            if (PyErr_Occurred()) return fail(64);
            break;
        }
        Ref index, row;
        if (unpack2(item.get(), index, row) < 0) return fail(64);
        Ref skor = Ref::steal(PyObject_GetItem(row.get(), text::eus_skor));
        if (!skor) return fail(65);
        Ref iht = Ref::steal(PyObject_GetItem(row.get(), text::eus_ihtimal));
        if (!iht) return fail(65);
        Ref muta = Ref::steal(PyObject_GetItem(row.get(), text::muta));
        if (!muta) return fail(65);
        Ref donem = Ref::steal(PyObject_GetItem(row.get(), text::donem));
        if (!donem) return fail(65);
        Ref value = Ref::steal(PyTuple_Pack(2, skor.get(), iht.get()));
        if (!value) return fail(65);
        Ref key = Ref::steal(PyTuple_Pack(2, muta.get(), donem.get()));
        if (!key) return fail(65);
        if (PyDict_SetItem(lookup.get(), key.get(), value.get()) < 0) return fail(65);
    }

    Ref rows = Ref::steal(PyList_New(0));
    if (!rows) return fail(68);

    // The firms present in each period, gathered in one pass over the
    // lookup's keys instead of three passes per calendar period.  A period is
    // matched by the dict's equality, the row's period on the left, as a
    // comparison of the two would.
    Ref firms_by_period = Ref::steal(PyDict_New());
    if (!firms_by_period) return fail(75);
    {
        Py_ssize_t pos = 0;
        PyObject *key, *unused;
        while (PyDict_Next(lookup.get(), &pos, &key, &unused)) {
            PyObject* firm = PyTuple_GET_ITEM(key, 0);
            PyObject* period = PyTuple_GET_ITEM(key, 1);
            PyObject* firms = PyDict_GetItemWithError(firms_by_period.get(), period);
            if (!firms) {
                if (PyErr_Occurred()) return fail(75);
                Ref fresh = Ref::steal(PySet_New(nullptr));
                if (!fresh) return fail(75);
                if (PyDict_SetItem(firms_by_period.get(), period, fresh.get()) < 0) return fail(75);
                firms = fresh.get();  // now held by the index
            }
            if (PySet_Add(firms, firm) < 0) return fail(75);
        }
    }
    Ref no_firms = Ref::steal(PySet_New(nullptr));
    if (!no_firms) return fail(75);
    auto firms_in = [&](PyObject* period) -> PyObject* {
        PyObject* firms = PyDict_GetItemWithError(firms_by_period.get(), period);
        if (firms) return firms;
        return PyErr_Occurred() ? nullptr : no_firms.get();
    };

    Py_ssize_t periods = PyList_GET_SIZE(calendar);
    for (Py_ssize_t i = 1; i < periods - 1; ++i) {
        PyObject* prev_d = PyList_GET_ITEM(calendar, i - 1);
        PyObject* gap_d = PyList_GET_ITEM(calendar, i);
        PyObject* next_d = PyList_GET_ITEM(calendar, i + 1);

        PyObject* prev_mutas = firms_in(prev_d);
        if (!prev_mutas) return fail(75);
        PyObject* next_mutas = firms_in(next_d);
        if (!next_mutas) return fail(76);
        PyObject* gap_mutas = firms_in(gap_d);
        if (!gap_mutas) return fail(77);

        Ref both = Ref::steal(PyNumber_And(prev_mutas, next_mutas));
        if (!both) return fail(79);
        Ref candidates = Ref::steal(PyNumber_Subtract(both.get(), gap_mutas));
        if (!candidates) return fail(79);

        Ref candidate_iter = Ref::steal(PyObject_GetIter(candidates.get()));
        if (!candidate_iter) return fail(81);
        for (;;) {
            Ref muta = Ref::steal(PyIter_Next(candidate_iter.get()));
            if (!muta) {
                if (PyErr_Occurred()) return fail(81);
                break;
            }
            Ref prev_key = Ref::steal(PyTuple_Pack(2, muta.get(), prev_d));
            if (!prev_key) return fail(82);
            Ref prev_value = Ref::steal(PyObject_GetItem(lookup.get(), prev_key.get()));
            if (!prev_value) return fail(82);
            Ref prev_skor, prev_iht;
            if (unpack2(prev_value.get(), prev_skor, prev_iht) < 0) return fail(82);

            Ref next_key = Ref::steal(PyTuple_Pack(2, muta.get(), next_d));
            if (!next_key) return fail(83);
            Ref next_value = Ref::steal(PyObject_GetItem(lookup.get(), next_key.get()));
            if (!next_value) return fail(83);
            Ref next_skor, next_iht;
            if (unpack2(next_value.get(), next_skor, next_iht) < 0) return fail(83);

            Ref avg_skor = Ref::steal(rounded_mean(prev_skor.get(), next_skor.get(), num::two));
            if (!avg_skor) return fail(85);

            Ref avg_iht = Ref::borrow(Py_None);
            int present = is_present(globals, prev_iht.get());
            if (present < 0) return fail(87);
            if (present) {
                present = is_present(globals, next_iht.get());
                if (present < 0) return fail(87);
            }
            if (present) {
                avg_iht = Ref::steal(rounded_mean(prev_iht.get(), next_iht.get(), num::four));
                if (!avg_iht) return fail(88);
            }

            Ref patch_row = Ref::steal(PyDict_New());
            if (!patch_row) return fail(91);
            if (PyDict_SetItem(patch_row.get(), text::muta, muta.get()) < 0 ||
                PyDict_SetItem(patch_row.get(), text::donem, gap_d) < 0 ||
                PyDict_SetItem(patch_row.get(), text::eus_skor, avg_skor.get()) < 0 ||
                PyDict_SetItem(patch_row.get(), text::eus_ihtimal, avg_iht.get()) < 0)
                return fail(91);
            if (PyList_Append(rows.get(), patch_row.get()) < 0) return fail(90);
        }
    }
    return rows.release();
}

}  // namespace patch_eus
