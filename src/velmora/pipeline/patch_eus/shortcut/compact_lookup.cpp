// Building the compact lookup from the rows' ids, and reading it back by calendar position.
#include "compact_lookup.hpp"

#include <algorithm>
#include <numeric>

namespace patch_eus {

void CompactLookup::group_rows() {
    const int32_t rows = static_cast<int32_t>(row_firm_.size());
    // The rows in period order, each period's rows in frame order.
    const size_t periods = static_cast<size_t>(periods_.size());
    // Copied from the range, not with the copy constructor: GCC 11 and later
    // compile the copy's allocation with a call to
    // std::__throw_bad_array_new_length (GLIBCXX_3.4.29), which would tie
    // the module to GCC 11's C++ runtime (manylinux_2_34); the range's length
    // is checked first.
    std::vector<size_t> row_start(period_rows_.begin(), period_rows_.end());
    row_start.push_back(0);
    std::exclusive_scan(row_start.begin(), row_start.end(), row_start.begin(), size_t{0});
    std::vector<int32_t> by_period(static_cast<size_t>(rows));
    {
        std::vector<size_t> fill(row_start.begin(), row_start.end() - 1);
        for (int32_t i = 0; i < rows; ++i)
            by_period[fill[static_cast<size_t>(row_period_[static_cast<size_t>(i)])]++] = i;
    }
    std::vector<int32_t>().swap(row_period_);
    std::vector<size_t>().swap(period_rows_);

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
            const int32_t firm = row_firm_[static_cast<size_t>(row)];
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
    std::vector<int32_t>().swap(row_firm_);
    seen_.assign(static_cast<size_t>(firms_.size()), Seen());
}

int CompactLookup::prepare(PyObject* calendar) {
    const Py_ssize_t n = PyList_GET_SIZE(calendar);
    try {
        calendar_period_.resize(static_cast<size_t>(n));
    } catch (...) {  // std::bad_alloc
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (periods_.find(PyList_GET_ITEM(calendar, i), calendar_period_[static_cast<size_t>(i)]) < 0)
            return -1;
    return 0;
}

int CompactLookup::neighbour(const Candidate& c, Py_ssize_t, int offset, Ref& skor,
                             Ref& iht) const {
    return values(offset < 0 ? c.prev_group : c.next_group, skor, iht);
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
