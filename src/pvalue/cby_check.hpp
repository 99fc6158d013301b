// The cBY check, written once over an observer that hears which size is
// examined next and which test decides it. The public cby_check passes an
// observer that does nothing; the tests record the order of examination.
//
// This is the reference: the searches call the fast check of fast/, which
// must give the same verdict and witness and examine the same sizes in the
// same order, on every input it accepts (the tests and the fuzzer compare
// the two). Three details of this code are behaviour it reproduces:
// - the order of examination: breadth-first over midpoint splits of [1, m],
//   the hinted size first, the lower half dropped after a quick pass; the
//   witness is the first violating size in that order;
// - the weight cache, shared by the sizes of one check and not reset between
//   them: a size's overlap scan may read entries that earlier sizes of the
//   same check wrote, so its verdict can depend on the sizes before it (see
//   outside_total);
// - the clearing rule: an outside pass that stops at the cut-off zeroes the
//   entries below its own down to the first that is already zero, no further.
// The fast check models the cache entry by entry (fast/weight_runs.hpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <span>

#include "interrupt_poll.hpp"
#include "interval_queue.hpp"
#include "large_allocator.hpp"
#include "tolerances.hpp"
#include "tulm/pvalue.hpp"

namespace tulm::detail {

enum class SizeTest { quick, single, detailed };

// An observer that listens to no size.
struct IgnoreSizes {
    void operator()(int /*s*/, SizeTest /*test*/) const {}
};

// The weight of a p-value x within the cut-off at a size whose steps are
// ceil(x * T - 1e-10): inv / max(ceil(x * T - 1e-10), 1.0), where a NaN
// ceiling counts as 1.0 (std::max would pass the NaN on).
inline double weight_of(double x, double T, double inv) {
    const double step = std::ceil(x * T - kByTolerance);
    return inv / (step > 1.0 ? step : 1.0);
}

// The loops over up to m values of one size poll once per chunk of
// iterations, counted by their index.
template <typename Poll>
void poll_every_chunk(int index, Poll& poll) {
    if (static_cast<std::size_t>(index) % kPassChunk == 0) {
        poll(static_cast<std::int64_t>(kPassChunk));
    }
}

// The cache entries a check has set: [first, last], empty while first > last.
struct WrittenRange {
    int first = std::numeric_limits<int>::max();
    int last = 0;
    void add(int from, int to) {
        if (from <= to) {
            first = std::min(first, from);
            last = std::max(last, to);
        }
    }
};

// Working storage of the check. A search keeps one across all its checks, so
// that a check costs no allocation and no O(m) zeroing of its weight cache:
// each check starts from an all-zero cache and hands it back all zero. The
// cache comes from calloc, whose large blocks are fresh zero pages: a check
// that writes a few entries touches a few pages, not m + 1 doubles.
class CbyWorkspace {
public:
    // The zeroed cache of at least m + 1 entries for a new check.
    std::span<double> cache_for(int m) {
        const std::size_t entries = static_cast<std::size_t>(m) + 1;
        if (cache_.size() < entries) {
            cache_ = ZeroedBlock<double>();  // the old block goes first
            cache_ = ZeroedBlock<double>(entries);
        }
        return cache_.span();
    }
    // The check set cache entries in `written` only.
    template <typename Poll>
    void zero(const WrittenRange& written, Poll& poll) {
        if (written.first <= written.last) {
            double* const first = cache_.span().data() + written.first;
            polled_pass(static_cast<std::size_t>(written.last - written.first) + 1, poll,
                        [first](std::size_t t) { first[t] = 0.0; });
        }
    }
    // A check that did not end may have left entries set: the next one gets
    // a fresh cache.
    void drop_cache() { cache_ = ZeroedBlock<double>(); }
    IntervalQueue& queue() { return queue_; }

private:
    ZeroedBlock<double> cache_;
    IntervalQueue queue_;
};

// What every size of one check shares.
struct CbyCheckInputs {
    std::span<const double> pvalues;
    std::span<const double> harmonic;
    int m;
    int r;
    double alpha;
    double inv;           // 1 / alpha, one division
    double cutoff;        // alpha + 1e-10: a larger x * h weighs 0
    double pmax;          // the largest candidate, pvalues[m - r]
    int first_candidate;  // m - r
};

// The inputs of a check of r >= 1 candidates.
inline CbyCheckInputs cby_check_inputs(std::span<const double> pvalues, int r,
                                       std::span<const double> harmonic, double alpha) {
    const int m = static_cast<int>(pvalues.size());
    return {pvalues,        harmonic, m, r, alpha, 1.0 / alpha, alpha + kByTolerance,
            pvalues[m - r], m - r};
}

// The terms of one examined size s.
struct SizeTerms {
    int s;
    double h;  // harmonic[s]
    double S;  // s * h
    double T;  // S * inv: the steps of x are ceil(x * T - 1e-10)
    int k;     // the largest overlap, min(r, s)
    int i0;    // the smallest overlap, max(1, s - m + r)
};

inline SizeTerms size_terms(const CbyCheckInputs& in, int s) {
    const double h = in.harmonic[s];
    const double S = static_cast<double>(s) * h;
    return {s, h, S, S * in.inv, std::min(in.r, s), std::max(1, s - in.m + in.r)};
}

// M_i = (i * inv) / r - 1e-10: the weight that i candidates of a set must
// reach, up to the tolerance.
inline double overlap_threshold(int i, double inv, int r) {
    return (static_cast<double>(i) * inv) / static_cast<double>(r) - kByTolerance;
}

// Holding at s implies holding at every smaller size, for descending p-values.
inline bool passes_quick_test(const CbyCheckInputs& in, const SizeTerms& size) {
    return static_cast<double>(size.k) * in.alpha >= in.pmax * size.S;
}

// Size 1: the largest candidate alone, with 1 for h and inv for T.
inline bool violates_single_size(const CbyCheckInputs& in) {
    double weight = 0.0;
    if (in.cutoff >= in.pmax) {
        weight = weight_of(in.pmax, in.inv, in.inv);
    }
    return in.inv / static_cast<double>(in.r) > weight + kByTolerance;
}

// Outside pass: the weights of the s - i0 largest p-values outside the
// candidates, summed from the smallest of them upward and kept in cache[j + 1]
// for the overlap scan, which takes them out again one by one.
//
// The cache is shared by the sizes of one check and is never cleared in full.
// The scan reads this size's entries, from s - i0 down, and keeps going only
// while total is above zero; in exact arithmetic total is 0 once the entries
// written here are used up, and the scan stops. Rounding can leave a hair
// above zero and let it read a few entries further down: those stand for
// p-values above the cut-off, which weigh 0 at this size. Clearing the run of
// non-zero entries just below the cut-off makes them read as 0 without
// touching the rest of the cache.
template <typename Poll>
double outside_total(const CbyCheckInputs& in, const SizeTerms& size, std::span<double> cache,
                     WrittenRange& written, Poll& poll) {
    double total = 0.0;
    int j = size.s - size.i0 - 1;
    for (; j >= 0; --j) {
        poll_every_chunk(j, poll);
        const double x = in.pvalues[j];
        if (x * size.h > in.cutoff) {
            for (int t = j + 1; t >= 1 && cache[t] != 0.0; --t) {
                cache[t] = 0.0;
            }
            break;
        }
        const double w = weight_of(x, size.T, in.inv);
        cache[j + 1] = w;
        total += w;
    }
    written.add(j + 2, size.s - size.i0);
    return total;
}

// Candidate prefix: the i0 - 1 largest candidates, summed downward from the
// smallest of them, up to the first above the cut-off.
template <typename Poll>
double candidate_prefix(const CbyCheckInputs& in, const SizeTerms& size, Poll& poll) {
    double sum = 0.0;
    for (int n = size.i0 - 2; n >= 0; --n) {
        poll_every_chunk(n, poll);
        const double x = in.pvalues[in.first_candidate + n];
        if (x * size.h > in.cutoff) {
            break;
        }
        sum += weight_of(x, size.T, in.inv);
    }
    return sum;
}

// Overlap scan over i = i0 .. k: sum holds the weights of the i largest
// candidates and total those of the s - i largest outside values. Passes as
// soon as the candidates alone reach i / (alpha * r); violates when both
// together fall short of it.
template <typename Poll>
bool overlap_scan_violates(const CbyCheckInputs& in, const SizeTerms& size, double sum,
                           double total, std::span<const double> cache, Poll& poll) {
    for (int i = size.i0; i <= size.k; ++i) {
        poll_every_chunk(i, poll);
        const double x = in.pvalues[in.first_candidate + i - 1];
        // NaN products weigh 0 here, unlike in the two passes above.
        const double w = in.cutoff >= x * size.h ? weight_of(x, size.T, in.inv) : 0.0;
        sum += w;
        const double M = overlap_threshold(i, in.inv, in.r);
        if (sum >= M) {
            return false;
        }
        if (M > sum + total) {
            return true;
        }
        total -= cache[size.s - i];
    }
    return false;
}

template <typename Poll>
bool violates_in_detail(const CbyCheckInputs& in, const SizeTerms& size, std::span<double> cache,
                        WrittenRange& written, Poll& poll) {
    // The order of the sums is part of the result: total first, then sum.
    const double total = outside_total(in, size, cache, written, poll);
    const double sum = candidate_prefix(in, size, poll);
    return overlap_scan_violates(in, size, sum, total, cache, poll);
}

// The breadth-first loop over sizes, for r >= 1. Adds to `written` the cache
// entries it sets.
template <typename Observer, typename Poll>
CbyCheckResult cby_check_sizes(CbyWorkspace& work, const CbyCheckInputs& in, int warm_s,
                               Observer& observe, WrittenRange& written, Poll& poll) {
    const std::span<double> cache = work.cache_for(in.m);
    IntervalQueue& queue = work.queue();
    queue.clear();
    queue.push_back({1, in.m});
    bool hinted = warm_s != 0;
    while (!queue.empty()) {
        const auto [lo, hi] = queue.pop_front();
        const int s = hinted ? warm_s : lo + (hi - lo) / 2;
        hinted = false;
        const SizeTerms size = size_terms(in, s);

        if (passes_quick_test(in, size)) {
            poll();
            observe(s, SizeTest::quick);
            // [lo, s - 1] passes too: dropped.
            if (s < hi) {
                queue.push_back({s + 1, hi});
            }
        } else if (s == 1) {
            poll();
            observe(s, SizeTest::single);
            if (violates_single_size(in)) {
                return {false, 1};
            }
            if (hi > 1) {
                queue.push_back({2, hi});
            }
        } else {
            poll(s);  // up to s weights; the loops poll again on long ones
            observe(s, SizeTest::detailed);
            if (violates_in_detail(in, size, cache, written, poll)) {
                return {false, s};
            }
            if (lo < s) {
                queue.push_back({lo, s - 1});
            }
            if (s < hi) {
                queue.push_back({s + 1, hi});
            }
        }
    }
    return {true, 0};
}

// The check on a workspace that it hands back with an all-zero cache.
template <typename Observer, typename Poll = NoInterruptPoll>
CbyCheckResult cby_check_observed(CbyWorkspace& work, std::span<const double> pvalues, int r,
                                  std::span<const double> harmonic, int warm_s, double alpha,
                                  Observer&& observe, Poll&& poll = Poll{}) {
    if (r == 0) {
        return {true, 0};
    }
    const CbyCheckInputs in = cby_check_inputs(pvalues, r, harmonic, alpha);
    WrittenRange written;
    try {
        const CbyCheckResult result = cby_check_sizes(work, in, warm_s, observe, written, poll);
        work.zero(written, poll);
        return result;
    } catch (...) {  // interrupted, or out of memory
        work.drop_cache();
        throw;
    }
}

}  // namespace tulm::detail
