// The repair run against the database: reading the score table, finding the
// single-period gaps, inserting the interpolated rows and reporting.
#pragma once

#include "../module/runtime.hpp"

#include <cstdint>
#include <memory>

namespace patch_eus {

// patch_eus_gaps(db_path): the whole run.  Returns None, or NULL with a
// traceback entry of `patch_eus_gaps`.
PyObject* patch_eus_gaps(PyObject* globals, PyObject* db_path);

// The patch rows for the frame `eus` over `calendar`: one dict (muta, donem,
// eus_skor, eus_ihtimal) per firm and single-period gap.  New list, or NULL
// with a traceback entry of `patch_eus_gaps`.
PyObject* find_gap_rows(PyObject* globals, PyObject* eus, PyObject* calendar);

// The score lookup of a frame that the shortcut covers, read from its values
// array without a Series per row and held as an index instead of a dict of
// tuples (frame_values.cpp says which frames, and why it is the same).
class CompactLookup {
public:
    CompactLookup();
    ~CompactLookup();
    CompactLookup(const CompactLookup&) = delete;
    CompactLookup& operator=(const CompactLookup&) = delete;

    // 1 when built, 0 when the frame is not covered (nothing stored), -1 on
    // error with `failed_line` the statement to report.
    int build(PyObject* eus, int& failed_line);
    // The id of a calendar entry's period, -1 when no row has it.
    int64_t period_of(PyObject* calendar_entry);
    // The set of the firms with a row in that period, built in the order a
    // pass over the lookup's keys would add them, untracked by the
    // collector.  New reference or NULL.
    PyObject* firms_of(int64_t period) const;
    // How many firms have a row in that period.
    size_t firm_count(int64_t period) const;

    // Firms by number: the firm object standing for all equal firms, its
    // hash, whether it has a row in a period, and the firms of a period in
    // the order a pass over the lookup's keys meets them.
    PyObject* firm(int32_t id) const;
    Py_hash_t hash(int32_t id) const;
    bool has(int32_t id, int64_t period) const;
    template <typename F>
    void each_firm(int64_t period, F&& f) const {
        if (period < 0) return;
        const int32_t* firms = period_firms(period);
        for (size_t k = 0, n = firm_count(period); k < n; ++k) f(firms[k]);
    }
    // The (score, probability) the lookup holds for (muta, period).
    int value_of(PyObject* muta, int64_t period, Ref& skor, Ref& iht);
    // The lookup as the dict of tuples the rows would have given.
    PyObject* as_dict() const;

private:
    const int32_t* period_firms(int64_t period) const;

    struct Index;
    std::unique_ptr<Index> index_;
};

// Diagnostic entry for the tests: (frame, calendar, allow_shortcut) ->
// (shortcut_taken, lookup, rows), in the module's globals.
PyObject* gap_rows_probe(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace patch_eus
