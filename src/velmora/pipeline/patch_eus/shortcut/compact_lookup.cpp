// Building the compact lookup: ids for every row, then the groups of each period.
#include "compact_lookup.hpp"

#include <algorithm>
#include <new>
#include <numeric>

namespace patch_eus {

int CompactLookup::build(PyObject* frame, const FrameReading& reading) {
    try {
        return build_from(frame, reading);
    } catch (...) {  // std::bad_alloc, or std::length_error for a size past any allocation
        PyErr_NoMemory();
        return -1;
    }
}

int CompactLookup::build_from(PyObject* frame, const FrameReading& reading) {
    int covered = is_plain_frame(frame, reading);
    if (covered <= 0) return covered;
    covered = columns_.read(frame);
    if (covered <= 0) return covered;
    const Column& firm_column = columns_.column[0];
    const Column& period_column = columns_.column[1];
    // Row numbers are 32-bit: frames of more rows are left to the rows.
    const Py_ssize_t rows = columns_.rows;
    if (firm_column.doubles || period_column.doubles || rows > INT32_MAX) return 0;

    // Every row's firm and period ids, and how many rows each period has.
    std::vector<int32_t> row_firm(static_cast<size_t>(rows));
    std::vector<int32_t> row_period(static_cast<size_t>(rows));
    std::vector<size_t> row_start;  // rows of period p, then their start
    for (Py_ssize_t i = 0; i < rows; ++i) {
        if (!columns_.row_kept_as_is(i)) return 0;
        const int32_t firm = firms_.find(firm_column.object(i), true);
        if (firm < 0) return firm == -2 ? -1 : 0;
        const int32_t period = periods_.find(period_column.object(i), true);
        if (period < 0) return period == -2 ? -1 : 0;
        row_firm[static_cast<size_t>(i)] = firm;
        row_period[static_cast<size_t>(i)] = period;
        if (static_cast<size_t>(period) >= row_start.size()) row_start.push_back(0);
        ++row_start[static_cast<size_t>(period)];
    }

    // The rows in period order, each period's rows in frame order.
    const size_t periods = static_cast<size_t>(periods_.size());
    row_start.push_back(0);
    std::exclusive_scan(row_start.begin(), row_start.end(), row_start.begin(), size_t{0});
    std::vector<int32_t> by_period(static_cast<size_t>(rows));
    {
        std::vector<size_t> fill(row_start.begin(), row_start.end() - 1);
        for (int32_t i = 0; i < static_cast<int32_t>(rows); ++i)
            by_period[fill[static_cast<size_t>(row_period[static_cast<size_t>(i)])]++] = i;
    }
    std::vector<int32_t>().swap(row_period);

    // One group per firm within each period, numbered in the order the
    // period's rows first name the firm; the firm's later rows there move
    // its last row on.
    struct Latest {
        size_t period;  // the period of the firm's latest group
        size_t group;
    };
    std::vector<Latest> latest(static_cast<size_t>(firms_.size()), Latest{periods, 0});
    period_start_.assign(periods + 1, 0);
    groups_.reserve(static_cast<size_t>(rows));
    for (size_t p = 0; p < periods; ++p) {
        period_start_[p] = groups_.size();
        for (size_t k = row_start[p]; k < row_start[p + 1]; ++k) {
            const int32_t row = by_period[k];
            const int32_t firm = row_firm[static_cast<size_t>(row)];
            const size_t f = static_cast<size_t>(firm);
            if (latest[f].period != p) {
                latest[f] = Latest{p, groups_.size()};
                groups_.push_back(Group{firm, row, row});
            } else {
                groups_[latest[f].group].last_row = row;
            }
        }
    }
    period_start_[periods] = groups_.size();
    seen_.assign(static_cast<size_t>(firms_.size()), Seen());
    return 1;
}

int CompactLookup::values(int32_t group, Ref& skor, Ref& iht) const {
    const int32_t row = groups_[static_cast<size_t>(group)].last_row;
    skor = Ref::steal(columns_.column[2].element(row));
    if (!skor) return -1;
    iht = Ref::steal(columns_.column[3].element(row));
    return iht ? 0 : -1;
}

PyObject* CompactLookup::as_dict() const {
    try {
        return dict_from_groups();
    } catch (...) {  // std::bad_alloc
        return PyErr_NoMemory();
    }
}

PyObject* CompactLookup::dict_from_groups() const {
    // A dict keeps its keys in the order they were first stored.
    std::vector<size_t> order(groups_.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [this](size_t a, size_t b) {
        return groups_[a].first_row < groups_[b].first_row;
    });
    const Column* c = columns_.column;
    Ref lookup = Ref::steal(PyDict_New());
    if (!lookup) return nullptr;
    for (size_t g : order) {
        const Group& group = groups_[g];
        Ref key = Ref::steal(
            PyTuple_Pack(2, c[0].object(group.first_row), c[1].object(group.first_row)));
        Ref skor, iht;
        if (!key || values(static_cast<int32_t>(g), skor, iht) < 0) return nullptr;
        Ref value = Ref::steal(PyTuple_Pack(2, skor.get(), iht.get()));
        if (!value || PyDict_SetItem(lookup.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return lookup.release();
}

}  // namespace patch_eus
