#include "period.hpp"

namespace patch_eus {

namespace {

// '9912' is the last period a YYMM code can express: its successor '10001'
// sorts below it, so a walk that went on would never end.
bool is_last_period(PyObject* d) {
    return PyUnicode_Check(d) && PyUnicode_GET_LENGTH(d) == 4 &&
           PyUnicode_CompareWithASCIIString(d, "9912") == 0;
}

}  // namespace

PyObject* build_calendar(PyObject* globals, PyObject* min_d, PyObject* max_d) {
    auto fail = [globals](int line) -> PyObject* {
        add_traceback(Where::patch_eus_gaps, line, globals);
        return nullptr;
    };
    Ref calendar = Ref::steal(PyList_New(0));
    if (!calendar) return fail(46);
    Ref d = Ref::borrow(min_d);
    for (;;) {
        Ref within = Ref::steal(PyObject_RichCompare(d.get(), max_d, Py_LE));
        if (!within) return fail(48);
        int more = PyObject_IsTrue(within.get());
        if (more < 0) return fail(48);
        if (!more) break;
        if (PyList_Append(calendar.get(), d.get()) < 0) return fail(49);
        if (is_last_period(d.get())) break;
        // Looked up at every step, so a rebinding of the module global is
        // honoured.
        Ref successor_fn = Ref::steal(lookup_global(globals, text::next_donem));
        if (!successor_fn) return fail(50);
        Ref next = Ref::steal(PyObject_CallOneArg(successor_fn.get(), d.get()));
        if (!next) return fail(50);
        d = std::move(next);
    }
    return calendar.release();
}

}  // namespace patch_eus
