#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "interrupt_poll.hpp"
#include "large_allocator.hpp"
#include "mean_consistency_check.hpp"
#include "tulm/evalue.hpp"

namespace tulm {

namespace {

// Doubles as unsigned keys in ascending order (-inf first), with every NaN
// after +inf. -0.0 comes just before +0.0; the running totals below start at
// +0.0, so that order leaves every total as a comparison sort would.
std::uint64_t ascending_key(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    if (x != x) {
        return ~std::uint64_t{0};
    }
    constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    return (bits & kSign) != 0 ? ~bits : bits | kSign;
}

double value_of_key(std::uint64_t key) {
    constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    return std::bit_cast<double>((key & kSign) != 0 ? key & ~kSign : ~key);
}

// Most-significant-digit radix sort of the keys, a byte at a time: each pass
// splits a range into its 256 buckets, and a bucket small enough is finished
// by insertion. Ranges move between the keys and a scratch buffer of the same
// size, so that no pass copies back. A byte that every key of a range shares
// costs no pass.
constexpr int kDigitBits = 8;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::size_t kInsertionSortBelow = 64;

// The byte of bits [shift, shift + 7]; a window that reaches below bit 0
// holds the bits that are left.
std::size_t digit_of(std::uint64_t key, int shift) {
    return shift >= 0 ? (key >> shift) & (kBuckets - 1) : (key << -shift) & (kBuckets - 1);
}

void insertion_sort(std::span<std::uint64_t> keys) {
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const std::uint64_t key = keys[i];
        std::size_t j = i;
        for (; j > 0 && keys[j - 1] > key; --j) {
            keys[j] = keys[j - 1];
        }
        keys[j] = key;
    }
}

// The bucket of each key of `from` at this digit, placed into `to` in order.
// Returns the buckets' bounds: bucket b is [bounds[b], bounds[b + 1]). When
// every key shares the digit nothing is placed, and bounds holds one bucket.
std::array<std::size_t, kBuckets + 1> split(std::span<const std::uint64_t> from,
                                            std::span<std::uint64_t> to, int shift, bool& shared,
                                            detail::InterruptPoll& poll) {
    std::array<std::size_t, kBuckets + 1> bounds{};
    detail::polled_pass(from.size(), poll,
                        [&](std::size_t i) { ++bounds[digit_of(from[i], shift) + 1]; });
    shared = bounds[digit_of(from[0], shift) + 1] == from.size();
    for (std::size_t b = 1; b <= kBuckets; ++b) {
        bounds[b] += bounds[b - 1];
    }
    if (!shared) {
        std::array<std::size_t, kBuckets> next{};
        std::copy(bounds.begin(), bounds.end() - 1, next.begin());
        detail::polled_pass(from.size(), poll,
                            [&](std::size_t i) { to[next[digit_of(from[i], shift)]++] = from[i]; });
    }
    return bounds;
}

void sort_moving(std::span<std::uint64_t> from, std::span<std::uint64_t> to, int shift,
                 detail::InterruptPoll& poll);

// Sorts `keys` by the digits at and below `shift`, using `scratch` (as long).
void sort_in_place(std::span<std::uint64_t> keys, std::span<std::uint64_t> scratch, int shift,
                   detail::InterruptPoll& poll) {
    if (keys.size() < kInsertionSortBelow) {
        insertion_sort(keys);
        return;
    }
    if (shift <= -kDigitBits) {
        return;
    }
    bool shared = false;
    const auto bounds = split(keys, scratch, shift, shared, poll);
    if (shared) {
        sort_in_place(keys, scratch, shift - kDigitBits, poll);
        return;
    }
    for (std::size_t b = 0; b < kBuckets; ++b) {
        const std::size_t size = bounds[b + 1] - bounds[b];
        sort_moving(scratch.subspan(bounds[b], size), keys.subspan(bounds[b], size),
                    shift - kDigitBits, poll);
    }
}

// Sorts the keys of `from` into `to` (as long); `from` is left in any order.
void sort_moving(std::span<std::uint64_t> from, std::span<std::uint64_t> to, int shift,
                 detail::InterruptPoll& poll) {
    if (from.size() < kInsertionSortBelow || shift <= -kDigitBits) {
        std::copy(from.begin(), from.end(), to.begin());
        insertion_sort(to);
        return;
    }
    bool shared = false;
    const auto bounds = split(from, to, shift, shared, poll);
    if (shared) {
        sort_moving(from, to, shift - kDigitBits, poll);
        return;
    }
    for (std::size_t b = 0; b < kBuckets; ++b) {
        const std::size_t size = bounds[b + 1] - bounds[b];
        sort_in_place(to.subspan(bounds[b], size), from.subspan(bounds[b], size),
                      shift - kDigitBits, poll);
    }
}

// The first pass splits on the eight bits just below those that every key
// shares, so that it spreads the keys over many buckets.
void radix_sort(std::span<std::uint64_t> keys, std::span<std::uint64_t> scratch,
                detail::InterruptPoll& poll) {
    if (keys.size() < 2) {
        return;
    }
    std::uint64_t low = keys[0];
    std::uint64_t high = keys[0];
    detail::for_each_chunk(keys.size(), poll, [&](std::size_t first, std::size_t last) {
        const std::span<const std::uint64_t> chunk = keys.subspan(first, last - first);
        const auto [chunk_low, chunk_high] = std::minmax_element(chunk.begin(), chunk.end());
        low = std::min(low, *chunk_low);
        high = std::max(high, *chunk_high);
    });
    const int top = 63 - std::countl_zero(low ^ high);
    if (top < 0) {
        return;  // all equal
    }
    sort_in_place(keys, scratch.first(keys.size()), top - kDigitBits + 1, poll);
}

// The layout as a Vector of doubles.
template <typename Vector>
Vector subset_layout(std::span<const double> evalues, std::span<const int> subset,
                     detail::InterruptPoll& poll) {
    const int m = static_cast<int>(evalues.size());
    std::vector<bool> in_subset(evalues.size(), false);
    detail::polled_pass(subset.size(), poll, [&](std::size_t t) {
        const int position = subset[t];
        if (position < 0 || position >= m) {
            throw std::out_of_range("subset index out of range");
        }
        if (in_subset[static_cast<std::size_t>(position)]) {
            throw std::invalid_argument("subset position " + std::to_string(position)
                                        + " appears more than once");
        }
        in_subset[static_cast<std::size_t>(position)] = true;
    });

    // The keys of the values outside the subset, then of those inside, each
    // group sorted on its own. Their counts fit the sort's 32-bit counts: the
    // caller keeps m below 2^31.
    detail::LargeVector<std::uint64_t> keys;
    keys.reserve(evalues.size());
    for (const bool inside : {false, true}) {
        detail::polled_pass(evalues.size(), poll, [&](std::size_t p) {
            if (in_subset[p] == inside) {
                keys.push_back(ascending_key(evalues[p]));
            }
        });
    }
    // Written by the sort before it is read: left unset, not zeroed first.
    detail::LargeVector<std::uint64_t> scratch;
    scratch.resize(keys.size());
    const std::size_t outside = evalues.size() - subset.size();
    radix_sort(std::span(keys).first(outside), scratch, poll);
    radix_sort(std::span(keys).subspan(outside), scratch, poll);

    // One running total, left to right, over the outside values and then the
    // inside ones: the inside values become the candidate block at the end.
    Vector layout;
    layout.reserve(evalues.size() + 1);
    double total = 0.0;
    layout.push_back(total);
    detail::for_each_chunk(keys.size(), poll, [&](std::size_t first, std::size_t last) {
        double running = total;
        for (std::size_t t = first; t < last; ++t) {
            running += value_of_key(keys[t]);
            layout.push_back(running);
        }
        total = running;
    });
    return layout;
}

}  // namespace

std::vector<double> build_subset_prefix_sums(std::span<const double> evalues,
                                             std::span<const int> subset) {
    detail::InterruptPoll poll({});
    return subset_layout<std::vector<double>>(evalues, subset, poll);
}

bool is_subset_mean_consistent(std::span<const double> evalues, std::span<const int> subset,
                               double alpha, Interrupt interrupt) {
    if (subset.empty()) {
        return true;
    }
    detail::InterruptPoll poll(interrupt);
    const auto layout = subset_layout<detail::LargeVector<double>>(evalues, subset, poll);
    const int k = static_cast<int>(subset.size());
    detail::IntervalQueue queue;
    return detail::mean_consistency_check_observed(
               queue, layout, k, alpha, -1, -1, [](int /*o*/, int /*j*/) {}, poll)
        .consistent;
}

}  // namespace tulm
