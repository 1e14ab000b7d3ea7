// The score lookup and the search for single-period gaps.
#include "patching.hpp"
#include "rounding.hpp"
#include "set_order.hpp"

#include <cmath>
#include <cstring>

#include <vector>

namespace patch_eus {

namespace {

// Whether the `round` bound at load is the interpreter's builtin round.
bool round_is_builtin() {
    PyObject* r = state().round;
    return r && PyCFunction_Check(r) && PyCFunction_GET_SELF(r) == state().builtins &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(r)->m_ml->ml_name, "round") == 0;
}

// round((a + b) / 2, digits) with the builtin round bound at load.
//
// The sum of two finite floats can overflow where their mean cannot; then
// the mean is a / 2 + b / 2, both halves exact, by the same host
// arithmetic.  The builtin round of an exact float hands the work to the
// float's __round__, which round_decimal reproduces exactly.
PyObject* rounded_mean(PyObject* a, PyObject* b, PyObject* digits, int n) {
    Ref mean;
    if (PyFloat_Check(a) && PyFloat_Check(b) && std::isfinite(PyFloat_AS_DOUBLE(a)) &&
        std::isfinite(PyFloat_AS_DOUBLE(b)) &&
        std::isinf(PyFloat_AS_DOUBLE(a) + PyFloat_AS_DOUBLE(b))) {
        Ref half_a = Ref::steal(PyNumber_TrueDivide(a, num::two));
        if (!half_a) return nullptr;
        Ref half_b = Ref::steal(PyNumber_TrueDivide(b, num::two));
        if (!half_b) return nullptr;
        mean = Ref::steal(PyNumber_Add(half_a.get(), half_b.get()));
    } else {
        Ref sum = Ref::steal(PyNumber_Add(a, b));
        if (!sum) return nullptr;
        mean = Ref::steal(PyNumber_TrueDivide(sum.get(), num::two));
    }
    if (!mean) return nullptr;
    double rounded = 0;
    if (PyFloat_CheckExact(mean.get()) && round_is_builtin() &&
        round_decimal(PyFloat_AS_DOUBLE(mean.get()), n, rounded))
        return PyFloat_FromDouble(rounded);
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

// What the gap search asks of the score lookup, for calendar entries given
// by position.
class Lookup {
public:
    virtual ~Lookup() = default;
    // Readies the per-period firm sets; -1 on error (line 75).
    virtual int prepare() = 0;
    // The set (prev_mutas & next_mutas) - gap_mutas for the inner calendar
    // entry `i`.  New reference, or NULL with `failed_line` set.
    virtual PyObject* candidates(Py_ssize_t i, int& failed_line) = 0;
    // The (score, probability) held for (muta, calendar entry `slot`).
    virtual int values(PyObject* muta, Py_ssize_t slot, Ref& skor, Ref& iht) = 0;
};

// The dict of tuples that `iterrows` filled, with the firm sets of every
// period gathered in one pass over its keys instead of three passes per
// calendar period.  A period is matched by the dict's equality, the row's
// period on the left, as a comparison of the two would.
class DictLookup : public Lookup {
public:
    DictLookup(PyObject* lookup, PyObject* calendar) : lookup_(lookup), calendar_(calendar) {}

    int prepare() override {
        by_period_ = Ref::steal(PyDict_New());
        none_ = Ref::steal(PySet_New(nullptr));
        if (!by_period_ || !none_) return -1;
        Py_ssize_t pos = 0;
        PyObject *key, *unused;
        while (PyDict_Next(lookup_, &pos, &key, &unused)) {
            PyObject* firm = PyTuple_GET_ITEM(key, 0);
            PyObject* period = PyTuple_GET_ITEM(key, 1);
            PyObject* firms = PyDict_GetItemWithError(by_period_.get(), period);
            if (!firms) {
                if (PyErr_Occurred()) return -1;
                Ref fresh = Ref::steal(PySet_New(nullptr));
                if (!fresh || PyDict_SetItem(by_period_.get(), period, fresh.get()) < 0) return -1;
                firms = fresh.get();  // now held by the index
            }
            if (PySet_Add(firms, firm) < 0) return -1;
        }
        return 0;
    }

    PyObject* candidates(Py_ssize_t i, int& failed_line) override {
        failed_line = 75;
        PyObject* prev_mutas = firms(i - 1);
        if (!prev_mutas) return nullptr;
        failed_line = 76;
        PyObject* next_mutas = firms(i + 1);
        if (!next_mutas) return nullptr;
        failed_line = 77;
        PyObject* gap_mutas = firms(i);
        if (!gap_mutas) return nullptr;
        failed_line = 79;
        Ref both = Ref::steal(PyNumber_And(prev_mutas, next_mutas));
        if (!both) return nullptr;
        return PyNumber_Subtract(both.get(), gap_mutas);
    }

    int values(PyObject* muta, Py_ssize_t slot, Ref& skor, Ref& iht) override {
        Ref key = Ref::steal(PyTuple_Pack(2, muta, PyList_GET_ITEM(calendar_, slot)));
        if (!key) return -1;
        Ref value = Ref::steal(PyObject_GetItem(lookup_, key.get()));
        if (!value) return -1;
        return unpack2(value.get(), skor, iht);
    }

private:
    PyObject* lookup_;
    PyObject* calendar_;
    // The firms of calendar entry `slot` (borrowed), or NULL on error.
    PyObject* firms(Py_ssize_t slot) {
        PyObject* firms = PyDict_GetItemWithError(by_period_.get(), PyList_GET_ITEM(calendar_, slot));
        if (firms) return firms;
        return PyErr_Occurred() ? nullptr : none_.get();
    }

    Ref by_period_;
    Ref none_;
};

// The compact index of a covered frame.  The candidates come out as the
// same set, of the same elements added in the same order, as the set
// operations on the firm sets of the dict path give:
//
// - `prev & next` walks the smaller operand (the right one when the sizes
//   are equal) in its order and adds each element the other one holds to a
//   new set; a set intersected with itself is copied;
// - `both - gap` copies `both` and discards the members of `gap` when
//   `both` is more than four times larger; otherwise it walks `both` and
//   adds each element that `gap` lacks to a new set.
//
// The orders of the walked sets and of `both` come from SetOrder; membership
// from the index.  Real sets are made for the candidates only, and for the
// rare cases of a copy (then everything is done with real sets).
class IndexLookup : public Lookup {
public:
    IndexLookup(CompactLookup& index, PyObject* calendar) : index_(index), calendar_(calendar) {}

    int prepare() override {
        Py_ssize_t n = PyList_GET_SIZE(calendar_);
        periods_.resize(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            periods_[static_cast<size_t>(i)] = index_.period_of(PyList_GET_ITEM(calendar_, i));
        return 0;
    }

    PyObject* candidates(Py_ssize_t i, int& failed_line) override {
        const int64_t prev = period(i - 1), next = period(i + 1), gap = period(i);
        if (prev == next) return with_real_sets(prev, gap, failed_line);

        const bool walk_prev = index_.firm_count(next) > index_.firm_count(prev);
        const SetOrder& walked = order_of(walk_prev ? i - 1 : i + 1);
        const int64_t other = walk_prev ? next : prev;
        both_.clear();
        added_.clear();
        walked.each([&](Py_hash_t hash, int32_t firm) {
            if (index_.has(firm, other)) {
                both_.add(hash, firm);
                added_.push_back(firm);
            }
        });

        failed_line = 79;
        if ((both_.size() >> 2) > index_.firm_count(gap)) {
            // Copy and discard: with real sets, `both` made by the same
            // insertions.
            Ref both = Ref::steal(PySet_New(nullptr));
            if (!both) return nullptr;
            for (int32_t firm : added_)
                if (PySet_Add(both.get(), index_.firm(firm)) < 0) return nullptr;
            failed_line = 77;
            Ref gap_firms = Ref::steal(index_.firms_of(gap));
            if (!gap_firms) return nullptr;
            failed_line = 79;
            return PyNumber_Subtract(both.get(), gap_firms.get());
        }
        Ref result = Ref::steal(PySet_New(nullptr));
        if (!result) return nullptr;
        bool failed = false;
        both_.each([&](Py_hash_t, int32_t firm) {
            if (!failed && !index_.has(firm, gap) && PySet_Add(result.get(), index_.firm(firm)) < 0)
                failed = true;
        });
        return failed ? nullptr : result.release();
    }

    int values(PyObject* muta, Py_ssize_t slot, Ref& skor, Ref& iht) override {
        return index_.value_of(muta, period(slot), skor, iht);
    }

private:
    int64_t period(Py_ssize_t slot) const { return periods_[static_cast<size_t>(slot)]; }

    // The same operations as the dict path, on real sets of the periods.
    PyObject* with_real_sets(int64_t both_period, int64_t gap, int& failed_line) {
        failed_line = 75;
        Ref firms = Ref::steal(index_.firms_of(both_period));
        if (!firms) return nullptr;
        failed_line = 77;
        Ref gap_firms = Ref::steal(index_.firms_of(gap));
        if (!gap_firms) return nullptr;
        failed_line = 79;
        Ref both = Ref::steal(PyNumber_And(firms.get(), firms.get()));
        if (!both) return nullptr;
        return PyNumber_Subtract(both.get(), gap_firms.get());
    }

    // The order of the firm set of calendar entry `slot`, kept while the
    // search is near it.
    const SetOrder& order_of(Py_ssize_t slot) {
        Kept& k = kept_[slot % 3];
        if (k.slot != slot) {
            k.order.clear();
            index_.each_firm(period(slot), [&](int32_t firm) { k.order.add(index_.hash(firm), firm); });
            k.slot = slot;
        }
        return k.order;
    }

    struct Kept {
        Py_ssize_t slot = -1;
        SetOrder order;
    };
    CompactLookup& index_;
    PyObject* calendar_;
    std::vector<int64_t> periods_;
    Kept kept_[3];
    SetOrder both_;
    std::vector<int32_t> added_;
};

// Score lookup from `iterrows`: (muta, donem) -> (eus_skor, eus_ihtimal) for
// every frame row; a later duplicate replaces an earlier one.  New dict, or
// NULL with `failed_line` set.
PyObject* lookup_from_rows(PyObject* eus, int& failed_line) {
    failed_line = 63;
    Ref lookup = Ref::steal(PyDict_New());
    if (!lookup) return nullptr;
    failed_line = 64;
    Ref frame_rows = Ref::steal(call_method0(eus, text::iterrows));
    if (!frame_rows) return nullptr;
    Ref frame_iter = Ref::steal(PyObject_GetIter(frame_rows.get()));
    if (!frame_iter) return nullptr;
    for (;;) {
        failed_line = 64;
        Ref item = Ref::steal(PyIter_Next(frame_iter.get()));
        if (!item) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        Ref index, row;
        if (unpack2(item.get(), index, row) < 0) return nullptr;
        failed_line = 65;
        Ref skor = Ref::steal(PyObject_GetItem(row.get(), text::eus_skor));
        if (!skor) return nullptr;
        Ref iht = Ref::steal(PyObject_GetItem(row.get(), text::eus_ihtimal));
        if (!iht) return nullptr;
        Ref muta = Ref::steal(PyObject_GetItem(row.get(), text::muta));
        if (!muta) return nullptr;
        Ref donem = Ref::steal(PyObject_GetItem(row.get(), text::donem));
        if (!donem) return nullptr;
        Ref value = Ref::steal(PyTuple_Pack(2, skor.get(), iht.get()));
        if (!value) return nullptr;
        Ref key = Ref::steal(PyTuple_Pack(2, muta.get(), donem.get()));
        if (!key) return nullptr;
        if (PyDict_SetItem(lookup.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return lookup.release();
}

bool all_exact_texts(PyObject* calendar) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(calendar); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(calendar, i))) return false;
    return true;
}

// The patch rows, from a lookup, over the inner calendar entries.
PyObject* search(PyObject* globals, Lookup& lookup, PyObject* calendar) {
    auto fail = [globals](int line) -> PyObject* {
        add_traceback(Where::patch_eus_gaps, line, globals);
        return nullptr;
    };
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows) return fail(68);
    if (lookup.prepare() < 0) return fail(75);

    Py_ssize_t periods = PyList_GET_SIZE(calendar);
    for (Py_ssize_t i = 1; i < periods - 1; ++i) {
        PyObject* gap_d = PyList_GET_ITEM(calendar, i);

        int line = 0;
        Ref candidates = Ref::steal(lookup.candidates(i, line));
        if (!candidates) return fail(line);

        Ref candidate_iter = Ref::steal(PyObject_GetIter(candidates.get()));
        if (!candidate_iter) return fail(81);
        for (;;) {
            Ref muta = Ref::steal(PyIter_Next(candidate_iter.get()));
            if (!muta) {
                if (PyErr_Occurred()) return fail(81);
                break;
            }
            Ref prev_skor, prev_iht;
            if (lookup.values(muta.get(), i - 1, prev_skor, prev_iht) < 0) return fail(82);
            Ref next_skor, next_iht;
            if (lookup.values(muta.get(), i + 1, next_skor, next_iht) < 0) return fail(83);

            Ref avg_skor = Ref::steal(rounded_mean(prev_skor.get(), next_skor.get(), num::two, 2));
            if (!avg_skor) return fail(85);

            Ref avg_iht = Ref::borrow(Py_None);
            int present = is_present(globals, prev_iht.get());
            if (present < 0) return fail(87);
            if (present) {
                present = is_present(globals, next_iht.get());
                if (present < 0) return fail(87);
            }
            if (present) {
                avg_iht = Ref::steal(rounded_mean(prev_iht.get(), next_iht.get(), num::four, 4));
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

// The patch rows, by the shortcut where it covers the frame and `allowed`
// is set, by `iterrows` and the dict otherwise.  With `seen`, also the
// lookup as a dict and which way was taken.
PyObject* gap_rows(PyObject* globals, PyObject* eus, PyObject* calendar, bool allowed,
                   Ref* seen_lookup = nullptr, bool* shortcut_taken = nullptr) {
    int line = 0;
    if (allowed && all_exact_texts(calendar)) {
        CompactLookup index;
        int covered = index.build(eus, line);
        if (covered < 0) {
            add_traceback(Where::patch_eus_gaps, line, globals);
            return nullptr;
        }
        if (covered) {
            if (shortcut_taken) *shortcut_taken = true;
            if (seen_lookup) {
                *seen_lookup = Ref::steal(index.as_dict());
                if (!*seen_lookup) return nullptr;
            }
            IndexLookup lookup(index, calendar);
            return search(globals, lookup, calendar);
        }
    }
    if (shortcut_taken) *shortcut_taken = false;
    Ref lookup_dict = Ref::steal(lookup_from_rows(eus, line));
    if (!lookup_dict) {
        add_traceback(Where::patch_eus_gaps, line, globals);
        return nullptr;
    }
    if (seen_lookup) *seen_lookup = Ref::borrow(lookup_dict.get());
    DictLookup lookup(lookup_dict.get(), calendar);
    return search(globals, lookup, calendar);
}

}  // namespace

PyObject* find_gap_rows(PyObject* globals, PyObject* eus, PyObject* calendar) {
    return gap_rows(globals, eus, calendar, true);
}

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
    PyObject* globals = PyModule_GetDict(state().module);
    Ref lookup;
    bool taken = false;
    Ref rows = Ref::steal(gap_rows(globals, args[0], args[1], allowed != 0, &lookup, &taken));
    if (!rows) return nullptr;
    return PyTuple_Pack(3, taken ? Py_True : Py_False, lookup.get(), rows.get());
}

}  // namespace patch_eus
