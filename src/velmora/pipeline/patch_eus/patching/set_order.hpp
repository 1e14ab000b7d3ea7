// Where the interpreter's set would put each element, without the set.
//
// A set's iteration order is its table's slot order, and the slot of each
// element follows only from the hashes, the order of insertion and the
// table's growth: open addressing over a power-of-two table, up to nine
// linear probes before each perturbed jump (perturb >>= 5, i = 5i + 1 +
// perturb), growth to the smallest power of two above four times (above
// 50,000 elements: twice) the element count once the table is three-fifths
// full, the old slots re-inserted in slot order.  SetOrder keeps the same
// table of (hash, element number) for a set that is only ever added to, so
// walking it gives the order the interpreter's set of the same insertions
// would give.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

namespace patch_eus {

class SetOrder {
public:
    SetOrder() { clear(); }

    // Empties the table back to the eight slots of a new set.
    void clear() {
        slots_.assign(kMinSize, Slot{0, kEmpty});
        used_ = 0;
    }

    // Adds element `id` (any number >= 0 standing for one element; equal
    // elements have equal ids) with the element's hash.
    void add(Py_hash_t hash, int32_t id) {
        const size_t mask = slots_.size() - 1;
        size_t perturb = static_cast<size_t>(hash);
        size_t i = static_cast<size_t>(hash) & mask;
        for (;;) {
            const size_t probes = i + kLinearProbes <= mask ? kLinearProbes : 0;
            for (size_t j = 0; j <= probes; ++j) {
                Slot& s = slots_[i + j];
                if (s.id == kEmpty) {
                    s.hash = hash;
                    s.id = id;
                    ++used_;
                    // No element is ever removed, so "fill" is "used".
                    if (used_ * 5 >= mask * 3) grow(used_ > 50000 ? used_ * 2 : used_ * 4);
                    return;
                }
                if (s.hash == hash && s.id == id) return;
            }
            perturb >>= kPerturbShift;
            i = (i * 5 + 1 + perturb) & mask;
        }
    }

    size_t size() const { return used_; }

    // Calls f(hash, id) for each element in slot order.
    template <typename F>
    void each(F&& f) const {
        for (const Slot& s : slots_)
            if (s.id != kEmpty) f(s.hash, s.id);
    }

private:
    struct Slot {
        Py_hash_t hash;
        int32_t id;
    };
    static constexpr int32_t kEmpty = -1;
    static constexpr size_t kMinSize = 8;
    static constexpr size_t kLinearProbes = 9;
    static constexpr unsigned kPerturbShift = 5;

    void grow(size_t minused) {
        size_t size = kMinSize;
        while (size <= minused) size <<= 1;
        std::vector<Slot> old(size, Slot{0, kEmpty});
        old.swap(slots_);
        const size_t mask = size - 1;
        for (const Slot& s : old) {
            if (s.id == kEmpty) continue;
            size_t perturb = static_cast<size_t>(s.hash);
            size_t i = static_cast<size_t>(s.hash) & mask;
            for (;;) {
                if (slots_[i].id == kEmpty) break;
                bool placed = false;
                if (i + kLinearProbes <= mask) {
                    for (size_t j = 1; j <= kLinearProbes; ++j) {
                        if (slots_[i + j].id == kEmpty) {
                            i += j;
                            placed = true;
                            break;
                        }
                    }
                }
                if (placed) break;
                perturb >>= kPerturbShift;
                i = (i * 5 + 1 + perturb) & mask;
            }
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    size_t used_ = 0;
};

}  // namespace patch_eus
