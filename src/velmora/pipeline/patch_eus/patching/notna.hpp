// PlainNotna: pandas' own notna of a float or None, answered without the call.
#pragma once

#include "../host/ref.hpp"

namespace patch_eus {

// pandas' notna of None is false and of a float true exactly when the float
// is not NaN; only infinities depend on pandas' options.  Nothing else it
// does can be seen from outside, so where `pd.notna` is that function, and
// the isna and _isna it calls are pandas' own too, its answer for such a
// value is known without making the call.  The gap search asks it for
// every neighbour's probability, on either way of reading the frame.
class PlainNotna {
public:
    // Whether pd.notna(value) is known without the call: 1 with `present`
    // set, when `pd` is exactly a module, the `notna` its dict holds is the
    // function pandas' missing-value module defines, that module's `isna`
    // and `_isna` are its own functions too, and `value` is None or an
    // exact float that is not infinite; 0 when the call must be made; -1 on
    // error.
    int known(PyObject* pd, PyObject* value, bool& present);

private:
    // 1, 0, or -1 on error.
    int unpatched(PyObject* notna);

    Ref checked_[3];  // notna, isna and _isna, as last found to be pandas' own
};

}  // namespace patch_eus
