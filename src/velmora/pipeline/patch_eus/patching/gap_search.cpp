// The gap search: the score lookup, the firms of each single-period gap and their interpolated rows.
#include "patching.hpp"

#include "names.hpp"
#include "notna.hpp"
#include "rounding.hpp"

#include "../host/calls.hpp"
#include "../host/constants.hpp"
#include "../host/failure.hpp"
#include "../host/state.hpp"
#include "../shortcut/shortcut.hpp"

#include <cmath>
#include <cstring>

namespace patch_eus {

namespace {

// Source lines of the gap search's statements in `patch_eus_gaps`.
namespace line {
constexpr int create_lookup = 63;
constexpr int iterate_rows = 64;   // iterrows, the iteration, unpacking an item
constexpr int store_row = 65;      // reading a row, storing it in the lookup
constexpr int create_rows = 68;
constexpr int prev_mutas = 75;
constexpr int next_mutas = 76;
constexpr int gap_mutas = 77;
constexpr int candidates = 79;     // the intersection and the difference
constexpr int iterate_candidates = 81;
constexpr int prev_values = 82;
constexpr int next_values = 83;
constexpr int avg_skor = 85;
constexpr int notna = 87;
constexpr int avg_iht = 88;
constexpr int append_row = 90;
constexpr int patch_row = 91;
}  // namespace line

Text iterrows{"iterrows"};
Text notna{"notna"};
Number two{2};
Number four{4};

// Whether `round` bound at load is the interpreter's builtin round: a
// function of the builtins module written in C, named round (the name its
// method table gives it, read in place).
bool round_is_builtin() {
    PyObject* r = state().round;
    if (!r || !PyCFunction_Check(r) || PyCFunction_GetSelf(r) != state().builtins) return false;
    const PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(r)->m_ml;
    return method && method->ml_name && std::strcmp(method->ml_name, "round") == 0;
}

// Whether the sum of two finite floats overflows.
bool sum_overflows(double x, double y) {
    return std::isfinite(x) && std::isfinite(y) && std::isinf(x + y);
}

// round((a + b) / 2, digits) with the builtin round bound at load.
//
// The sum of two finite floats can overflow where their mean cannot; then
// the mean is a / 2 + b / 2, both halves exact, by the same host
// arithmetic.  The builtin round of an exact float hands the work to the
// float's __round__, which round_decimal reproduces exactly.
PyObject* rounded_mean(PyObject* a, PyObject* b, PyObject* digits, int n, bool builtin_round) {
    Ref mean;
    double m = 0;  // the mean, when it is an exact float
    bool exact = PyFloat_CheckExact(a) && PyFloat_CheckExact(b);
    if (exact) {
        // Exact floats add and divide as C doubles do, running no Python code.
        const double x = PyFloat_AS_DOUBLE(a);
        const double y = PyFloat_AS_DOUBLE(b);
        m = sum_overflows(x, y) ? x / 2 + y / 2 : (x + y) / 2;
    } else {
        if (PyFloat_Check(a) && PyFloat_Check(b) &&
            sum_overflows(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b))) {
            Ref half_a = Ref::steal(PyNumber_TrueDivide(a, two));
            if (!half_a) return nullptr;
            Ref half_b = Ref::steal(PyNumber_TrueDivide(b, two));
            if (!half_b) return nullptr;
            mean = Ref::steal(PyNumber_Add(half_a.get(), half_b.get()));
        } else {
            Ref sum = Ref::steal(PyNumber_Add(a, b));
            if (!sum) return nullptr;
            mean = Ref::steal(PyNumber_TrueDivide(sum.get(), two));
        }
        if (!mean) return nullptr;
        exact = PyFloat_CheckExact(mean.get());
        if (exact) m = PyFloat_AS_DOUBLE(mean.get());
    }
    double rounded = 0;
    if (exact && builtin_round && round_decimal(m, n, rounded)) return PyFloat_FromDouble(rounded);
    if (!mean) mean = Ref::steal(PyFloat_FromDouble(m));
    if (!mean) return nullptr;
    PyObject* args[] = {mean.get(), digits};
    return PyObject_Vectorcall(state().round, args, 2, nullptr);
}

// Truth value of pd.notna(value), `pd` and `notna` looked up afresh; the
// answer of pandas' own notna for a float or None is known without the call.
// 1, 0, or -1 on error.
int is_present(PyObject* globals, PyObject* value, PlainNotna& plain) {
    Ref pandas = Ref::steal(lookup_global(globals, names::pd));
    if (!pandas) return -1;
    bool present = false;
    const int known = plain.known(pandas.get(), value, present);
    if (known != 0) return known < 0 ? -1 : present;
    Ref test = Ref::steal(PyObject_GetAttr(pandas.get(), notna));
    if (!test) return -1;
    Ref result = Ref::steal(PyObject_CallOneArg(test.get(), value));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// The score lookup that iterating over the frame's rows gives: (muta, donem)
// -> (eus_skor, eus_ihtimal) for every row, a later duplicate replacing an
// earlier one; with the firm sets of every period gathered in one pass over
// its keys.  A period is matched by the dict's equality, the row's period on
// the left, as a comparison of the two would.
class DictLookup {
public:
    explicit DictLookup(const Failure& fail) : fail_(fail) {}

    // 0, or -1 with the traceback entry of the statement that failed.
    int build(PyObject* eus) {
        lookup_ = Ref::steal(PyDict_New());
        if (!lookup_) return fail_.status(line::create_lookup);
        Ref frame_rows = Ref::steal(call_method(eus, iterrows));
        if (!frame_rows) return fail_.status(line::iterate_rows);
        return for_each_item(frame_rows.get(), fail_, line::iterate_rows, [this](PyObject* item) {
            Ref index, row;
            if (unpack2(item, index, row) < 0) return fail_.status(line::iterate_rows);
            return store(row.get()) < 0 ? fail_.status(line::store_row) : 0;
        });
    }

    PyObject* dict() const { return lookup_.get(); }

    // The firm sets of every period, in one pass over the lookup's keys: 0,
    // or -1 on error.
    int prepare(PyObject* calendar) {
        calendar_ = calendar;
        by_period_ = Ref::steal(PyDict_New());
        none_ = Ref::steal(PySet_New(nullptr));
        if (!by_period_ || !none_) return -1;
        Py_ssize_t pos = 0;
        PyObject *key, *unused;
        while (PyDict_Next(lookup_.get(), &pos, &key, &unused)) {
            PyObject* firm = PyTuple_GET_ITEM(key, 0);
            PyObject* period = PyTuple_GET_ITEM(key, 1);
            PyObject* firms = PyDict_GetItemWithError(by_period_.get(), period);
            if (!firms) {
                if (PyErr_Occurred()) return -1;
                Ref fresh = Ref::steal(PySet_New(nullptr));
                if (!fresh || PyDict_SetItem(by_period_.get(), period, fresh.get()) < 0)
                    return -1;
                firms = fresh.get();  // now held by the index
            }
            if (PySet_Add(firms, firm) < 0) return -1;
        }
        return 0;
    }

    // Calls f(muta) for each firm of (prev_mutas & next_mutas) - gap_mutas
    // of the inner calendar entry `i`, in the set's order.  0, or -1 with the
    // traceback entry of the statement that failed (f's own included).
    template <typename F>
    int each_candidate(Py_ssize_t i, F&& f) {
        PyObject* prev_mutas = firms(i - 1);
        if (!prev_mutas) return fail_.status(line::prev_mutas);
        PyObject* next_mutas = firms(i + 1);
        if (!next_mutas) return fail_.status(line::next_mutas);
        PyObject* gap_mutas = firms(i);
        if (!gap_mutas) return fail_.status(line::gap_mutas);
        Ref both = Ref::steal(PyNumber_And(prev_mutas, next_mutas));
        if (!both) return fail_.status(line::candidates);
        Ref candidates = Ref::steal(PyNumber_Subtract(both.get(), gap_mutas));
        if (!candidates) return fail_.status(line::candidates);
        return for_each_item(candidates.get(), fail_, line::iterate_candidates, f);
    }

    static PyObject* firm(PyObject* muta) { return muta; }

    // The (score, probability) held for `muta` in the calendar entry `offset`
    // (-1 or 1) away from the inner entry `i`: 0, or -1 on error.
    int neighbour(PyObject* muta, Py_ssize_t i, int offset, Ref& skor, Ref& iht) {
        Ref key = Ref::steal(PyTuple_Pack(2, muta, PyList_GET_ITEM(calendar_, i + offset)));
        if (!key) return -1;
        Ref value = Ref::steal(PyObject_GetItem(lookup_.get(), key.get()));
        if (!value) return -1;
        return unpack2(value.get(), skor, iht);
    }

private:
    int store(PyObject* row) {
        Ref skor = Ref::steal(PyObject_GetItem(row, names::eus_skor));
        if (!skor) return -1;
        Ref iht = Ref::steal(PyObject_GetItem(row, names::eus_ihtimal));
        if (!iht) return -1;
        Ref muta = Ref::steal(PyObject_GetItem(row, names::muta));
        if (!muta) return -1;
        Ref donem = Ref::steal(PyObject_GetItem(row, names::donem));
        if (!donem) return -1;
        Ref value = Ref::steal(PyTuple_Pack(2, skor.get(), iht.get()));
        if (!value) return -1;
        Ref key = Ref::steal(PyTuple_Pack(2, muta.get(), donem.get()));
        if (!key) return -1;
        return PyDict_SetItem(lookup_.get(), key.get(), value.get());
    }

    // The firms of calendar entry `slot` (borrowed), or NULL on error.
    PyObject* firms(Py_ssize_t slot) {
        PyObject* found =
            PyDict_GetItemWithError(by_period_.get(), PyList_GET_ITEM(calendar_, slot));
        if (found) return found;
        return PyErr_Occurred() ? nullptr : none_.get();
    }

    const Failure& fail_;
    PyObject* calendar_ = nullptr;
    Ref lookup_;
    Ref by_period_;
    Ref none_;
};

// The patch rows, from either lookup, over the inner calendar entries.
template <typename Lookup>
PyObject* search(const Failure& fail, PyObject* globals, Lookup& lookup, PyObject* calendar) {
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows) return fail.at(line::create_rows);
    if (lookup.prepare(calendar) < 0) return fail.at(line::prev_mutas);
    const bool builtin_round = round_is_builtin();
    PlainNotna plain_notna;

    const Py_ssize_t periods = PyList_GET_SIZE(calendar);
    for (Py_ssize_t i = 1; i < periods - 1; ++i) {
        PyObject* gap_d = PyList_GET_ITEM(calendar, i);
        int failed = lookup.each_candidate(i, [&](const auto& candidate) -> int {
            Ref prev_skor, prev_iht, next_skor, next_iht;
            if (lookup.neighbour(candidate, i, -1, prev_skor, prev_iht) < 0)
                return fail.status(line::prev_values);
            if (lookup.neighbour(candidate, i, 1, next_skor, next_iht) < 0)
                return fail.status(line::next_values);

            Ref avg_skor = Ref::steal(
                rounded_mean(prev_skor.get(), next_skor.get(), two, 2, builtin_round));
            if (!avg_skor) return fail.status(line::avg_skor);

            Ref avg_iht = Ref::borrow(Py_None);
            int present = is_present(globals, prev_iht.get(), plain_notna);
            if (present > 0) present = is_present(globals, next_iht.get(), plain_notna);
            if (present < 0) return fail.status(line::notna);
            if (present) {
                avg_iht = Ref::steal(
                    rounded_mean(prev_iht.get(), next_iht.get(), four, 4, builtin_round));
                if (!avg_iht) return fail.status(line::avg_iht);
            }

            Ref patch_row = Ref::steal(PyDict_New());
            if (!patch_row ||
                PyDict_SetItem(patch_row.get(), names::muta, lookup.firm(candidate)) < 0 ||
                PyDict_SetItem(patch_row.get(), names::donem, gap_d) < 0 ||
                PyDict_SetItem(patch_row.get(), names::eus_skor, avg_skor.get()) < 0 ||
                PyDict_SetItem(patch_row.get(), names::eus_ihtimal, avg_iht.get()) < 0)
                return fail.status(line::patch_row);
            if (PyList_Append(rows.get(), patch_row.get()) < 0)
                return fail.status(line::append_row);
            return 0;
        });
        if (failed) return nullptr;
    }
    return rows.release();
}

}  // namespace

PyObject* find_gap_rows_traced(PyObject* globals, PyObject* eus, PyObject* calendar,
                               bool allow_shortcut, GapSearchTrace* trace) {
    const Failure fail(Where::patch_eus_gaps, globals);
    if (trace) trace->shortcut_taken = false;
    if (allow_shortcut) {
        const FrameReading reading{
            iterrows, {names::muta, names::donem, names::eus_skor, names::eus_ihtimal}};
        CompactLookup index;
        const int covered = read_frame(eus, calendar, reading, index);
        if (covered < 0) return fail.at(line::iterate_rows);
        if (covered) {
            if (trace) {
                trace->shortcut_taken = true;
                trace->lookup = Ref::steal(index.as_dict());
                if (!trace->lookup) return nullptr;
            }
            return search(fail, globals, index, calendar);
        }
    }
    DictLookup lookup(fail);
    if (lookup.build(eus) < 0) return nullptr;
    if (trace) trace->lookup = Ref::borrow(lookup.dict());
    return search(fail, globals, lookup, calendar);
}

PyObject* find_gap_rows(PyObject* globals, PyObject* eus, PyObject* calendar) {
    return find_gap_rows_traced(globals, eus, calendar, true, nullptr);
}

}  // namespace patch_eus
