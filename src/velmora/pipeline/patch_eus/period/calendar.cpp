// The calendar walk: consecutive period codes from the smallest to the largest period.
#include "period.hpp"

#include "../host/calls.hpp"
#include "../host/constants.hpp"
#include "../host/failure.hpp"

namespace patch_eus {

namespace {

// Source lines of the walk's statements in `patch_eus_gaps`.
namespace line {
constexpr int create = 46;
constexpr int compare = 48;
constexpr int append = 49;
constexpr int successor = 50;
}  // namespace line

// The last period a YYMM code can express: its successor, 10001, sorts
// below it, so a walk that went on would never end.
constexpr char kLastPeriod[] = "9912";

bool is_last_period(PyObject* d) {
    return PyUnicode_Check(d) && PyUnicode_GET_LENGTH(d) == 4 &&
           PyUnicode_CompareWithASCIIString(d, kLastPeriod) == 0;
}

}  // namespace

Text next_donem_name{"_next_donem"};

PyObject* build_calendar(PyObject* globals, PyObject* min_d, PyObject* max_d) {
    const Failure fail(Where::patch_eus_gaps, globals);
    Ref calendar = Ref::steal(PyList_New(0));
    if (!calendar) return fail.at(line::create);
    Ref d = Ref::borrow(min_d);
    for (;;) {
        Ref within = Ref::steal(PyObject_RichCompare(d.get(), max_d, Py_LE));
        if (!within) return fail.at(line::compare);
        int more = PyObject_IsTrue(within.get());
        if (more < 0) return fail.at(line::compare);
        if (!more) break;
        if (PyList_Append(calendar.get(), d.get()) < 0) return fail.at(line::append);
        if (is_last_period(d.get())) break;
        // Looked up at every step, so a rebinding of the module global is
        // honoured.
        Ref successor_fn = Ref::steal(lookup_global(globals, next_donem_name));
        if (!successor_fn) return fail.at(line::successor);
        Ref next = Ref::steal(PyObject_CallOneArg(successor_fn.get(), d.get()));
        if (!next) return fail.at(line::successor);
        d = std::move(next);
    }
    return calendar.release();
}

}  // namespace patch_eus
