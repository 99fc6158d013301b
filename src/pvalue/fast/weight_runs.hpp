// The weight cache of one cBY check, held as runs instead of m + 1 doubles.
//
// The reference's cache (cby_check.hpp) is state shared by the sizes of one
// check: each examined size writes its outside weights to a range of entries
// and, when its outside pass stops at the cut-off, zeroes the entries below
// that range down to the first entry already zero; later sizes may read
// entries that an earlier size left behind. Every entry holds the weight of
// p[t - 1] at the size that last wrote it, so a run of entries needs only that
// size: any entry is recomputed in O(1). Written weights are never zero on
// inputs the fast path accepts, which makes "covered by a run" the same as
// "not zero". See docs/fast-closed-by.rst, "The weight cache".
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <vector>

namespace tulm::detail {

class WeightRuns {
public:
    struct Run {
        int first;
        int last;
        int size;  // the size whose weights entries first .. last hold
    };

    // An all-zero cache, as at the start of a check.
    void clear() { runs_.clear(); }

    // Entries first .. last now hold the weights of `size`.
    void write(int first, int last, int size) {
        if (first > last) {
            return;
        }
        if (runs_.empty() || runs_.back().last < first) {
            runs_.push_back({first, last, size});
            return;
        }
        auto begin = overlapping(first);
        auto end = begin;
        Run left{0, -1, 0};
        Run right{0, -1, 0};
        for (; end != runs_.end() && end->first <= last; ++end) {
            if (end->first < first) {
                left = {end->first, first - 1, end->size};
            }
            if (end->last > last) {
                right = {last + 1, end->last, end->size};
            }
        }
        Pieces pieces;
        if (left.first <= left.last) {
            pieces.add(left);
        }
        pieces.add({first, last, size});
        if (right.first <= right.last) {
            pieces.add(right);
        }
        replace(begin, end, pieces);
    }

    // The check's clearing step: zero entry `from` and each entry below it
    // until the first that is already zero (entry 0 always is). Returns the
    // index of that zero entry.
    int clear_down(int from) {
        if (from <= 0) {
            return 0;
        }
        auto it = overlapping(from);
        if (it == runs_.end() || it->first > from) {
            return from;  // already zero
        }
        // it holds `from`; runs below it join on while they touch.
        auto lowest = it;
        while (lowest != runs_.begin() && std::prev(lowest)->last + 1 == lowest->first) {
            --lowest;
        }
        const int zero_at = lowest->first - 1;
        Pieces kept;
        if (it->last > from) {
            kept.add({from + 1, it->last, it->size});
        }
        replace(lowest, std::next(it), kept);
        return zero_at;
    }

    // The run holding entry t, or nullptr when the entry is zero.
    [[nodiscard]] const Run* find(int t) const {
        auto it = std::lower_bound(runs_.begin(), runs_.end(), t,
                                   [](const Run& run, int entry) { return run.last < entry; });
        return it != runs_.end() && it->first <= t ? &*it : nullptr;
    }

    [[nodiscard]] bool empty() const { return runs_.empty(); }
    [[nodiscard]] const std::vector<Run>& runs() const { return runs_; }

private:
    using Iterator = std::vector<Run>::iterator;

    // At most three runs replace the ones an operation touches.
    struct Pieces {
        std::array<Run, 3> runs{};
        std::ptrdiff_t count = 0;
        void add(Run run) { runs[static_cast<std::size_t>(count++)] = run; }
    };

    // The first run ending at or after entry t.
    Iterator overlapping(int t) {
        return std::lower_bound(runs_.begin(), runs_.end(), t,
                                [](const Run& run, int entry) { return run.last < entry; });
    }

    void replace(Iterator begin, Iterator end, const Pieces& pieces) {
        const auto at = begin - runs_.begin();
        const auto removed = end - begin;
        const auto added = pieces.count;
        if (added > removed) {
            runs_.insert(end, static_cast<std::size_t>(added - removed), Run{});
        } else if (added < removed) {
            runs_.erase(begin + added, end);
        }
        std::copy(pieces.runs.begin(), pieces.runs.begin() + added, runs_.begin() + at);
    }

    std::vector<Run> runs_;  // disjoint, ascending
};

}  // namespace tulm::detail
