// CompactLookup: the score lookup of a frame the guard lets through, kept as ids and groups instead of a dict of tuples.
//
// The rows are grouped by (firm, period) key, one group per distinct key,
// holding the key's first row (whose firm and period objects a dict would
// keep as the key) and its last row (whose score and probability a dict
// would keep as the value).  The groups of each period are contiguous and in
// the order their keys first occur, so the firms of a period come out in a
// fixed order that depends only on the rows as read.
#pragma once

#include "frame_columns.hpp"
#include "frame_guard.hpp"
#include "value_ids.hpp"

#include <cstdint>
#include <vector>

namespace patch_eus {

// A firm to patch in a gap period, with the groups of its two neighbours.
struct Candidate {
    int32_t firm;
    int32_t prev_group;
    int32_t next_group;
};

class CompactLookup {
public:
    // 1 when the frame is one the shortcut reads and the lookup is built, 0
    // when it is not (nothing kept), -1 on error.
    int build(PyObject* frame, const FrameReading& reading);

    // The period id of a calendar entry, -1 when no row has that period, -2
    // with an exception set on error.
    int32_t period_of(PyObject* entry) { return periods_.find(entry, false); }

    // Calls f(candidate) for every firm with a row in period `prev` and in
    // `next` and none in `gap` (-1: a period without rows), in the order the
    // rows of `prev` first name them.  Stops at the first result of f that is
    // not 0, and returns it.
    template <typename F>
    int each_candidate(int32_t prev, int32_t gap, int32_t next, F&& f);

    // The firm object standing for all equal firms (borrowed).
    PyObject* firm(int32_t id) const { return firms_.value(id); }
    // The (score, probability) of a group; -1 on error.
    int values(int32_t group, Ref& skor, Ref& iht) const;
    // The lookup as the dict of tuples iterating over the rows would give.
    PyObject* as_dict() const;

private:
    int build_from(PyObject* frame, const FrameReading& reading);
    PyObject* dict_from_groups() const;

    struct Group {
        int32_t firm;
        int32_t first_row;
        int32_t last_row;
    };
    // A firm's mark in the current walk; `mark` is the walk's number.
    struct Seen {
        uint32_t in_next = 0;
        uint32_t in_gap = 0;
        int32_t next_group = -1;
    };

    FrameColumns columns_;
    ValueIds firms_;
    ValueIds periods_;
    std::vector<Group> groups_;
    std::vector<size_t> period_start_;  // groups of period p: [start[p], start[p + 1])
    std::vector<Seen> seen_;            // by firm
    uint32_t walk_ = 0;
};

template <typename F>
int CompactLookup::each_candidate(int32_t prev, int32_t gap, int32_t next, F&& f) {
    if (prev < 0 || next < 0) return 0;
    const uint32_t walk = ++walk_;
    auto groups_of = [this](int32_t period, auto&& visit) {
        const size_t p = static_cast<size_t>(period);
        for (size_t g = period_start_[p]; g < period_start_[p + 1]; ++g) visit(g);
    };
    groups_of(next, [&](size_t g) {
        Seen& s = seen_[static_cast<size_t>(groups_[g].firm)];
        s.in_next = walk;
        s.next_group = static_cast<int32_t>(g);
    });
    if (gap >= 0)
        groups_of(gap, [&](size_t g) { seen_[static_cast<size_t>(groups_[g].firm)].in_gap = walk; });
    const size_t p = static_cast<size_t>(prev);
    for (size_t g = period_start_[p]; g < period_start_[p + 1]; ++g) {
        const int32_t firm = groups_[g].firm;
        const Seen& s = seen_[static_cast<size_t>(firm)];
        if (s.in_next != walk || s.in_gap == walk) continue;
        if (int result = f(Candidate{firm, static_cast<int32_t>(g), s.next_group})) return result;
    }
    return 0;
}

}  // namespace patch_eus
