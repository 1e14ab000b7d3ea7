#include "period.hpp"

namespace patch_eus {

PyObject* next_donem(PyObject* globals, PyObject* d) {
    auto fail = [globals](int line) -> PyObject* {
        add_traceback(Where::next_donem, line, globals);
        return nullptr;
    };
    // yy, mm = int(d[:2]), int(d[2:]); the year converts before the month is
    // taken.
    Py_ssize_t length = PyUnicode_GET_LENGTH(d);
    Ref year_part = Ref::steal(PyUnicode_Substring(d, 0, length < 2 ? length : 2));
    if (!year_part) return fail(15);
    Ref yy = Ref::steal(PyNumber_Long(year_part.get()));
    if (!yy) return fail(15);
    Ref month_part = Ref::steal(PyUnicode_Substring(d, 2, length));
    if (!month_part) return fail(15);
    Ref mm = Ref::steal(PyNumber_Long(month_part.get()));
    if (!mm) return fail(15);

    mm = Ref::steal(PyNumber_Add(mm.get(), num::one));
    if (!mm) return fail(16);

    Ref above = Ref::steal(PyObject_RichCompare(mm.get(), num::twelve, Py_GT));
    if (!above) return fail(17);
    int rolls_over = PyObject_IsTrue(above.get());
    if (rolls_over < 0) return fail(17);
    if (rolls_over) {
        mm = Ref::borrow(num::one);
        yy = Ref::steal(PyNumber_Add(yy.get(), num::one));
        if (!yy) return fail(19);
    }

    Ref year_text = Ref::steal(PyObject_Format(yy.get(), text::fmt_02d));
    if (!year_text) return fail(20);
    Ref month_text = Ref::steal(PyObject_Format(mm.get(), text::fmt_02d));
    if (!month_text) return fail(20);
    PyObject* result = PyUnicode_Concat(year_text.get(), month_text.get());
    if (!result) return fail(20);
    return result;
}

}  // namespace patch_eus
