// The successor of a period code: '2512' -> '2601'.
#include "period.hpp"

#include "../host/failure.hpp"

namespace patch_eus {

namespace {

// Source lines of the statements of `_next_donem`.
namespace line {
constexpr int parts = 15;      // taking both parts and converting them
constexpr int next_month = 16;
constexpr int roll_over = 17;  // comparing the month with 12
constexpr int next_year = 19;
constexpr int format = 20;     // formatting both parts and joining them
}  // namespace line

Number one{1};
Number twelve{12};
Text two_digits{"02d"};

bool is_digit(Py_UCS1 c) { return c >= '0' && c <= '9'; }

// Whether `d` is a code of exactly four ASCII digits: 1, 0, or -1 on error.
int is_four_digits(PyObject* d) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(d) < 0) return -1;
#endif
    if (PyUnicode_GET_LENGTH(d) != 4 || !PyUnicode_IS_ASCII(d)) return 0;
    const Py_UCS1* c = PyUnicode_1BYTE_DATA(d);
    return is_digit(c[0]) && is_digit(c[1]) && is_digit(c[2]) && is_digit(c[3]);
}

// The successor of a code of four ASCII digits, which is what the
// conversions below give for it: year and month as numbers, the month rolled
// over past 12, both written with at least two digits.  NULL on error.
PyObject* next_of_four_digits(PyObject* d) {
    const Py_UCS1* c = PyUnicode_1BYTE_DATA(d);
    int yy = (c[0] - '0') * 10 + (c[1] - '0');
    int mm = (c[2] - '0') * 10 + (c[3] - '0') + 1;
    if (mm > 12) {
        mm = 1;
        yy += 1;
    }
    // yy is at most 100, mm at most 12: four or five ASCII digits.
    PyObject* result = PyUnicode_New(yy >= 100 ? 5 : 4, 127);
    if (!result) return nullptr;
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result);
    if (yy >= 100) *out++ = static_cast<Py_UCS1>('0' + yy / 100);
    *out++ = static_cast<Py_UCS1>('0' + yy / 10 % 10);
    *out++ = static_cast<Py_UCS1>('0' + yy % 10);
    *out++ = static_cast<Py_UCS1>('0' + mm / 10);
    *out = static_cast<Py_UCS1>('0' + mm % 10);
    return result;
}

}  // namespace

PyObject* next_donem(PyObject* globals, PyObject* d) {
    const Failure fail(Where::next_donem, globals);
    const int four_digits = is_four_digits(d);
    if (four_digits < 0) return fail.at(line::parts);
    if (four_digits) {
        PyObject* quick = next_of_four_digits(d);
        return quick ? quick : fail.at(line::format);
    }

    // yy, mm = int(d[:2]), int(d[2:]); the year converts before the month is
    // taken.
    Py_ssize_t length = PyUnicode_GET_LENGTH(d);
    Ref year_part = Ref::steal(PyUnicode_Substring(d, 0, length < 2 ? length : 2));
    if (!year_part) return fail.at(line::parts);
    Ref yy = Ref::steal(PyNumber_Long(year_part.get()));
    if (!yy) return fail.at(line::parts);
    Ref month_part = Ref::steal(PyUnicode_Substring(d, 2, length));
    if (!month_part) return fail.at(line::parts);
    Ref mm = Ref::steal(PyNumber_Long(month_part.get()));
    if (!mm) return fail.at(line::parts);

    mm = Ref::steal(PyNumber_Add(mm.get(), one));
    if (!mm) return fail.at(line::next_month);

    Ref above = Ref::steal(PyObject_RichCompare(mm.get(), twelve, Py_GT));
    if (!above) return fail.at(line::roll_over);
    int rolls_over = PyObject_IsTrue(above.get());
    if (rolls_over < 0) return fail.at(line::roll_over);
    if (rolls_over) {
        mm = Ref::borrow(one);
        yy = Ref::steal(PyNumber_Add(yy.get(), one));
        if (!yy) return fail.at(line::next_year);
    }

    Ref year_text = Ref::steal(PyObject_Format(yy.get(), two_digits));
    if (!year_text) return fail.at(line::format);
    Ref month_text = Ref::steal(PyObject_Format(mm.get(), two_digits));
    if (!month_text) return fail.at(line::format);
    PyObject* result = PyUnicode_Concat(year_text.get(), month_text.get());
    if (!result) return fail.at(line::format);
    return result;
}

}  // namespace patch_eus
