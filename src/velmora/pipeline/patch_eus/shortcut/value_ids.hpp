// ValueIds: small ids for a frame's firm or period values, equal exactly where the values are equal as dict keys.
#pragma once

#include "../host/ref.hpp"

#include <cstdint>
#include <vector>

namespace patch_eus {

// Ids are numbered from 0 in the order the values are first added.  Handled
// are the values whose equality as dict keys runs no Python code and needs
// no call: exact strs (equal by their characters), exact ints (by value;
// an int never equals a str), and None and NaN floats (by identity: a NaN
// equals only itself).  An open-addressing table of its own, with a cheap
// hash of a text's characters: a dict would hash every text with the
// interpreter's keyed hash, which costs a whole run a few percent more.
class ValueIds {
public:
    ValueIds() = default;
    ValueIds(const ValueIds&) = delete;
    ValueIds& operator=(const ValueIds&) = delete;
    ~ValueIds();

    // The id of `v`, a new one when it is unseen: 1, 0 when `v` is not of a
    // kind handled here (or there are too many ids), -1 on error.
    int add(PyObject* v, int32_t& id);
    // The id of the exact str `text`, or -1 when it was never added: 0, or
    // -1 on error.
    int find(PyObject* text, int32_t& id);

    // The first value added with that id (borrowed; held here).
    PyObject* value(int32_t id) const { return values_[static_cast<size_t>(id)]; }
    int32_t size() const { return static_cast<int32_t>(values_.size()); }

private:
    // The slot of `v`, whose hash is `hash`: its id's, or the empty one
    // where it would go.  -1 on error.
    int slot_of(PyObject* v, size_t hash, size_t& slot) const;
    // 1, 0 when `v` is of a kind not handled here, -1 on error.
    static int hash_of(PyObject* v, size_t& hash);
    void grow();

    std::vector<int32_t> slots_;     // open addressing, -1 for empty
    std::vector<PyObject*> values_;  // by id, each holding a reference
    std::vector<size_t> hashes_;     // by id
    PyObject* last_ = nullptr;       // the value met last, often met again
    int32_t last_id_ = -1;
};

}  // namespace patch_eus
