// ValueIds: small ids for a frame's firm or period values, equal exactly where the values are equal as dict keys.
#pragma once

#include "../host/ref.hpp"

#include <cstdint>
#include <vector>

namespace patch_eus {

// Ids are numbered from 0 in the order the values are first added.  Handled
// are exact strs (equal by content), exact ints (by value; these never equal
// each other), and None and NaN floats (by identity: a NaN equals only
// itself).  No Python code runs.
class ValueIds {
public:
    ValueIds() = default;
    ValueIds(const ValueIds&) = delete;
    ValueIds& operator=(const ValueIds&) = delete;
    ~ValueIds();

    // The id of `v`; a new one when `v` is unseen and `add` is set.  -1 when
    // `v` is of another kind, or unseen and not added, or there are too many;
    // -2 with an exception set on error (the interpreter out of memory).
    int32_t find(PyObject* v, bool add);

    // The first value seen with that id (borrowed; held here).
    PyObject* value(int32_t id) const { return values_[static_cast<size_t>(id)]; }
    int32_t size() const { return static_cast<int32_t>(values_.size()); }

private:
    // 1 when the value of `id` equals `v` as a dict key, 0 when not, -1 on
    // error.
    int same(int32_t id, PyObject* v) const;
    void grow();

    std::vector<int32_t> slots_;     // open addressing, -1 for empty
    std::vector<PyObject*> values_;  // by id, each holding a reference
    std::vector<size_t> hashes_;     // by id
    PyObject* last_ = nullptr;       // the value met last, often met again
    int32_t last_id_ = -1;
};

}  // namespace patch_eus
