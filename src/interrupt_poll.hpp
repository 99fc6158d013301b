// A kernel's side of an Interrupt: cheap enough to call in every loop of a
// search. It counts the work done and looks at the clock only every so many
// units; it calls the hook at the first look, then only when kPeriod has
// passed since it last did. Every loop of a kernel over m values polls, at
// least once a chunk of kPassChunk values, so that a call answers the hook
// within a few milliseconds wherever it is.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "tulm/interrupt.hpp"

namespace tulm::detail {

class InterruptPoll {
public:
    explicit InterruptPoll(Interrupt hook) : hook_(hook) {}

    // `work`: roughly how many elementary steps (weights, slacks, checks)
    // were done since the last call.
    void operator()(std::int64_t work = 1) {
        if (hook_.stop_requested == nullptr) {
            return;
        }
        budget_ -= work;
        if (budget_ <= 0) {
            look();
        }
    }

private:
    // Out of line and cold: the loops that poll keep their registers.
    [[gnu::noinline, gnu::cold]] void look() {
        budget_ = kWorkBetweenClockReadings;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_asked_ < kPeriod) {
            return;
        }
        last_asked_ = now;
        if (hook_.stop_requested(hook_.context)) {
            throw Interrupted();
        }
    }

    static constexpr std::int64_t kWorkBetweenClockReadings = 1 << 16;
    static constexpr std::chrono::milliseconds kPeriod{5};

    Interrupt hook_;
    std::int64_t budget_ = kWorkBetweenClockReadings;
    std::chrono::steady_clock::time_point last_asked_{};
};

// A chunk of a pass over m values costs well under a millisecond.
inline constexpr std::size_t kPassChunk = std::size_t{1} << 14;

// Where the chunk of a pass over [.., end) that starts at `first` ends.
inline std::size_t chunk_end(std::size_t first, std::size_t end) {
    return std::min(end, first + kPassChunk);
}

// body(first, last) for the chunks [first, last) of [0, n), in order,
// polling after each; stops after the first chunk for which it returns true,
// and says whether one did. A body that carries a running value from chunk
// to chunk copies it into a local for its loop: a variable that is live
// across the poll would be kept in memory for the whole loop, and a sum kept
// in memory runs at the speed of a store and a load.
template <typename Poll, typename Body>
bool any_chunk(std::size_t n, Poll& poll, Body&& body) {
    for (std::size_t first = 0; first < n;) {
        const std::size_t last = chunk_end(first, n);
        if (body(first, last)) {
            return true;
        }
        poll(static_cast<std::int64_t>(last - first));
        first = last;
    }
    return false;
}

// body(first, last) for the chunks of [0, n), in order, polling after each.
template <typename Poll, typename Body>
void for_each_chunk(std::size_t n, Poll& poll, Body&& body) {
    any_chunk(n, poll, [&body](std::size_t first, std::size_t last) {
        body(first, last);
        return false;
    });
}

// body(i) for i = 0, 1, ..., n - 1, in order, polling after each chunk, for
// bodies that carry no running value.
template <typename Poll, typename Body>
void polled_pass(std::size_t n, Poll& poll, Body&& body) {
    for_each_chunk(n, poll, [&body](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            body(i);
        }
    });
}

// For internals that tests call without a hook.
struct NoInterruptPoll {
    void operator()(std::int64_t /*work*/ = 1) const {}
};

}  // namespace tulm::detail
