// A kernel's side of an Interrupt: cheap enough to call in every loop of a
// search. It counts the work done and looks at the clock only every so many
// units; it calls the hook at the first look, then only when kPeriod has
// passed since it last did.
#pragma once

#include <chrono>
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
        if (budget_ > 0) {
            return;
        }
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

private:
    static constexpr std::int64_t kWorkBetweenClockReadings = 1 << 16;
    static constexpr std::chrono::milliseconds kPeriod{5};

    Interrupt hook_;
    std::int64_t budget_ = kWorkBetweenClockReadings;
    std::chrono::steady_clock::time_point last_asked_{};
};

// For internals that tests call without a hook.
struct NoInterruptPoll {
    void operator()(std::int64_t /*work*/ = 1) const {}
};

}  // namespace tulm::detail
