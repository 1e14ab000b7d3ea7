// CompactLookup: the score lookup of a frame the fast path reads, kept as ids and groups instead of a dict of tuples, and walked by calendar position.
//
// The rows are grouped by (firm, period) key, one group per distinct key,
// holding the key's first row (whose firm and period objects a dict would
// keep as the key) and its last row (whose score and probability a dict
// would keep as the value).  The groups of each period are contiguous and in
// the order their keys first occur, so the firms of a period come out in a
// fixed order that depends only on the rows as read.  It is built by the
// fast path's door (shortcut.hpp) and walked by the gap search, as the dict
// of the rows is.
#pragma once

#include "frame_columns.hpp"
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
    // Building, by the fast path's door (shortcut.cpp), which checks first
    // that the frame is one these read as pandas would:
    // the frame's four columns, read in place;
    FrameColumns& columns() { return columns_; }
    // the ids of a row's firm and period: 1, 0 when either is of a kind the
    // ids do not handle, -1 on error;
    int add_row(Py_ssize_t row);
    // and the groups, once every row is added.
    void group_rows();

    // Finds the periods of the calendar's entries, exact strs (the door's
    // first check): 0, or -1 on error.
    int prepare(PyObject* calendar);

    // Calls f(candidate) for every firm with a row in the calendar entry
    // before the inner entry `i` and in the one after it and none in `i`
    // itself, in the order the rows of the earlier period first name them.
    // Stops at the first result of f that is not 0, and returns it.
    template <typename F>
    int each_candidate(Py_ssize_t i, F&& f);

    // The firm object standing for all equal firms (borrowed).
    PyObject* firm(const Candidate& c) const { return firms_.value(c.firm); }
    // The (score, probability) of the candidate's neighbour `offset` (-1 or
    // 1) entries away: 0, or -1 on error.
    int neighbour(const Candidate& c, Py_ssize_t i, int offset, Ref& skor, Ref& iht) const;
    // The lookup as the dict of tuples iterating over the rows would give.
    PyObject* as_dict() const;

private:
    int values(int32_t group, Ref& skor, Ref& iht) const;
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
    std::vector<int32_t> row_firm_;    // by row, while building
    std::vector<int32_t> row_period_;
    std::vector<size_t> period_rows_;  // how many rows each period has
    std::vector<Group> groups_;
    std::vector<size_t> period_start_;     // groups of period p: [start[p], start[p + 1])
    std::vector<int32_t> calendar_period_;  // by calendar entry; -1: no row has it
    std::vector<Seen> seen_;                // by firm
    uint32_t walk_ = 0;
};

// In the header, so that the door's loop over the rows takes it in.
inline int CompactLookup::add_row(Py_ssize_t row) {
    if (row_firm_.empty()) {
        row_firm_.reserve(static_cast<size_t>(columns_.rows));
        row_period_.reserve(static_cast<size_t>(columns_.rows));
    }
    int32_t firm, period;
    if (int kept = firms_.add(columns_.column[0].object(row), firm); kept <= 0) return kept;
    if (int kept = periods_.add(columns_.column[1].object(row), period); kept <= 0) return kept;
    row_firm_.push_back(firm);
    row_period_.push_back(period);
    if (static_cast<size_t>(period) >= period_rows_.size()) period_rows_.push_back(0);
    ++period_rows_[static_cast<size_t>(period)];
    return 1;
}

template <typename F>
int CompactLookup::each_candidate(Py_ssize_t i, F&& f) {
    const int32_t prev = calendar_period_[static_cast<size_t>(i - 1)];
    const int32_t gap = calendar_period_[static_cast<size_t>(i)];
    const int32_t next = calendar_period_[static_cast<size_t>(i + 1)];
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
