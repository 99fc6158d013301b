// The work queue of both checks: closed ranges of sizes still to examine,
// taken from the front and added at the back, so sizes are visited
// breadth-first over midpoint splits. A search keeps one queue across all its
// checks: after the first, a check allocates nothing.
#pragma once

#include <cstddef>
#include <vector>

namespace tulm::detail {

struct IndexInterval {
    int lo;
    int hi;
};

class IntervalQueue {
public:
    // Empties the queue, keeping its storage.
    void clear() {
        items_.clear();
        head_ = 0;
    }
    [[nodiscard]] bool empty() const { return head_ == items_.size(); }
    IndexInterval pop_front() { return items_[head_++]; }
    void push_back(IndexInterval interval) { items_.push_back(interval); }

private:
    std::vector<IndexInterval> items_;  // [head_, end) are queued
    std::size_t head_ = 0;
};

}  // namespace tulm::detail
