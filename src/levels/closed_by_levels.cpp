#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "interrupt_poll.hpp"
#include "large_allocator.hpp"
#include "levels/exact_weights.hpp"
#include "levels/level_scan.hpp"
#include "pvalue/cby_search.hpp"
#include "pvalue/fast/search_tables.hpp"
#include "tulm/levels.hpp"

namespace tulm {

namespace {

constexpr double kUnitRoundoff = 0x1p-53;
// Levels below this may make the products of p-values underflow.
constexpr double kTinyLevel = 0x1p-900;
// Roughly the work of evaluating one size without summing term by term, for
// the interrupt poll.
constexpr std::int64_t kWorkPerSize = 64;

// A closed interval holding a real number.
struct Bounds {
    double lo;
    double hi;
};

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Non-negative bounds: each sum moved outward by more than its rounding.
Bounds operator+(Bounds a, Bounds b) {
    return {(a.lo + b.lo) * (1.0 - 2.0 * kUnitRoundoff),
            (a.hi + b.hi) * (1.0 + 2.0 * kUnitRoundoff)};
}

// What does not depend on the level: the p-values with zeros replaced, as
// the searches check them (descending, so p[0] is the largest), the harmonic
// table, and prefix sums of 1/p and 1/p^2 over the same order.
class CbyScreen {
public:
    template <typename Poll>
    CbyScreen(std::span<const double> pvalues, Poll&& poll)
        : prepared_(detail::prepared_pvalues_of<detail::LargeVector<double>>(pvalues, poll)),
          harmonic_(detail::harmonic_table_of<detail::LargeVector<double>>(
              static_cast<int>(pvalues.size()), poll)),
          m_(static_cast<int>(pvalues.size())) {
        detail::fill_reciprocal_prefix_sums(prepared_, inverse_, inverse_square_, poll);
        // Each entry within (m + 4) u of its exact value, relative.
        prefix_error_ = (static_cast<double>(m_) + 4.0) * 2.0 * kUnitRoundoff;
        descending_ = !detail::any_chunk(
            prepared_.empty() ? 0 : prepared_.size() - 1, poll,
            [&](std::size_t first, std::size_t last) {
                for (std::size_t t = first; t < last; ++t) {
                    if (!(prepared_[t] >= prepared_[t + 1]) || std::isnan(prepared_[t])) {
                        return true;
                    }
                }
                return false;
            });
        descending_ = descending_ && (prepared_.empty() || !std::isnan(prepared_.back()));
    }

    [[nodiscard]] int m() const { return m_; }
    [[nodiscard]] double p(int t) const { return prepared_[static_cast<std::size_t>(t)]; }

    // Whether the p-values descend once zeros are checked as 1e-12: not so
    // when a positive p-value lies below 1e-12 beside a zero, nor with NaN.
    [[nodiscard]] bool descending() const { return descending_; }

    // How many p-values have x * factor > alpha, exactly: a prefix, since
    // they descend. Searched from `hint`.
    [[nodiscard]] int count_above(double factor, double alpha, int hint) const {
        return detail::first_where_not(0, m_, std::clamp(hint, 0, m_), [&](int t) {
            return detail::product_above(prepared_[static_cast<std::size_t>(t)], factor, alpha);
        });
    }
    [[nodiscard]] double harmonic(int s) const { return harmonic_[static_cast<std::size_t>(s)]; }

    // Sum of 1/p over p[a .. b], and an upper bound of that of 1/p^2.
    [[nodiscard]] Bounds inverse_sum(int a, int b) const { return range(inverse_, a, b); }
    [[nodiscard]] double inverse_square_sum(int a, int b) const {
        return range(inverse_square_, a, b).hi;
    }

private:
    [[nodiscard]] Bounds range(const detail::LargeVector<double>& prefix, int a, int b) const {
        const double upper = prefix[static_cast<std::size_t>(b) + 1];
        const double lower = prefix[static_cast<std::size_t>(a)];
        if (!std::isfinite(upper)) {
            return {0.0, std::numeric_limits<double>::infinity()};
        }
        const double error = prefix_error_ * (upper + lower) + 1e-300;
        const double difference = upper - lower;
        return {std::max(0.0, difference - error), difference + error};
    }

    detail::LargeVector<double> prepared_;
    detail::LargeVector<double> harmonic_;
    detail::LargeVector<double> inverse_;
    detail::LargeVector<double> inverse_square_;
    int m_;
    double prefix_error_ = 0.0;
    bool descending_ = true;
};

// What the evaluations of one computation share: where the last searches
// over p-values and overlaps ended (the next ones, at a nearby size or level,
// start there), and the interrupt poll, charged for the terms summed.
struct Hints {
    int beyond = 0;
    int unit = 0;
    // The size and level beyond and unit belong to: the counts depend on
    // nothing else, and the scan over r meets the same pair again and again.
    int size = 0;
    double level = -1.0;
    int turn = 1;
    int failing = 0;  // the overlap at which the last size evaluated failed
    // By how much at least its total fell short of i / r there (0 when only
    // the exact sum told).
    double shortfall = 0.0;
    // The last totals summed term by term, of the candidates and of the
    // other values of a least favourable set: consecutive r meet the same
    // size and level, with ranges a term or two apart.
    struct RangeTotal {
        int size = 0;
        double level = -1.0;
        int first = 0;
        int last = -1;
        Bounds total{0.0, 0.0};
    };
    RangeTotal candidates;
    RangeTotal others;
    // The ranges of sizes a check has yet to examine, kept to spare an
    // allocation per check.
    struct SizeRange {
        int a;
        int b;
    };
    std::vector<SizeRange> pending;
    detail::InterruptPoll* poll = nullptr;

    void charge(std::int64_t work) const {
        if (poll != nullptr) {
            (*poll)(work);
        }
    }
};

// The exact weights of one size at one level.
class WeightsAt {
public:
    WeightsAt(const CbyScreen& screen, int s, double alpha, Hints& hints)
        : screen_(screen),
          s_(s),
          h_(screen.harmonic(s)),
          scale_(static_cast<double>(s) * h_),
          alpha_(alpha) {
        // p[t] weighs 0 for t < beyond_ (x h > alpha), exactly 1 from unit_
        // on (x S <= alpha).
        if (hints.size != s || hints.level != alpha) {
            hints.beyond = screen.count_above(h_, alpha, hints.beyond);
            hints.unit =
                std::max(hints.beyond,
                         screen.count_above(scale_, alpha, std::max(hints.unit, hints.beyond)));
            hints.size = s;
            hints.level = alpha;
        }
        beyond_ = hints.beyond;
        unit_ = hints.unit;
    }

    // The step of a p-value within the cut-off.
    [[nodiscard]] std::int64_t step(int t) const {
        return detail::exact_step_within(screen_.p(t), scale_, alpha_);
    }

    [[nodiscard]] int beyond() const { return beyond_; }
    [[nodiscard]] int size() const { return s_; }
    [[nodiscard]] double level() const { return alpha_; }

    // Whether p[t] weighs at least 1 / r, exactly.
    [[nodiscard]] bool weighs_at_least_share(int t, int r) const {
        return t >= beyond_ && (t >= unit_ || step(t) <= r);
    }

    [[nodiscard]] double weight(int t) const {
        if (t < beyond_) {
            return 0.0;
        }
        return t >= unit_ ? 1.0 : 1.0 / static_cast<double>(step(t));
    }

    // The sum of the weights of p[a .. b], enclosed.
    [[nodiscard]] Bounds sum(int a, int b) const {
        a = std::max(a, beyond_);
        if (a > b) {
            return {0.0, 0.0};
        }
        const int unit_first = std::max(a, unit_);
        Bounds total{0.0, 0.0};
        if (unit_first <= b) {
            const auto count = static_cast<double>(b - unit_first + 1);
            total = {count, count};
        }
        const int last = std::min(b, unit_ - 1);
        if (a <= last) {
            total = total + large_steps(a, last);
        }
        return total;
    }

    // The sum of the weights of p[a .. b], term by term in floating point:
    // each step is ceil(y) for y = x S / alpha, which rounding may misplace by
    // one only where y lies within 2^-50 y of a whole number.
    [[nodiscard]] Bounds sum_termwise(int a, int b) const {
        a = std::max(a, beyond_);
        const int last = std::min(b, unit_ - 1);
        double low = 0.0;
        double high = 0.0;
        if (alpha_ < kTinyLevel) {
            // Far below every ordinary level the products may underflow:
            // exact steps, each weight rounded once.
            for (int t = a; t <= last; ++t) {
                const double weight = 1.0 / static_cast<double>(step(t));
                high += weight;
                low += weight;
            }
        } else {
            for (int t = a; t <= last; ++t) {
                // Within the cut-off y is at most about s: no overflow.
                const double y = (screen_.p(t) * scale_) / alpha_;
                high += 1.0 / std::max(1.0, std::ceil(y * (1.0 - 0x1p-50)));
                low += 1.0 / std::max(1.0, std::ceil(y * (1.0 + 0x1p-50)));
            }
        }
        const double units = static_cast<double>(std::max(0, b - std::max(a, unit_) + 1));
        const double error = static_cast<double>(last - a + 4) * 2.0 * kUnitRoundoff;
        return {units + low * (1.0 - error), units + high * (1.0 + error)};
    }

    // The sum of the weights of p[a .. b] to within 2^-90 a term.
    void add_exactly(int a, int b, detail::ExactReciprocalSum& sum) const {
        for (int t = std::max(a, beyond_); t <= b; ++t) {
            sum.add(t >= unit_ ? 1 : step(t));
        }
    }

private:
    // Weights with steps of at least 2, over p[a .. b]. With y = x S / alpha
    // the step q satisfies y <= q < y + 1, so 1/y - 1/y^2 < 1/q <= 1/y; sums
    // of 1/y and 1/y^2 come from those of 1/p and 1/p^2. A short range is
    // summed term by term.
    [[nodiscard]] Bounds large_steps(int a, int b) const {
        const int count = b - a + 1;
        if (count <= kShortRange) {
            return sum_termwise(a, b);
        }
        const double lightest = weight(a);
        const double heaviest = weight(b);
        Bounds between{static_cast<double>(count) * lightest * (1.0 - 4.0 * kUnitRoundoff),
                       static_cast<double>(count) * heaviest * (1.0 + 4.0 * kUnitRoundoff)};
        const double ratio = alpha_ / scale_;  // 1/y = ratio / x
        const Bounds inverse = screen_.inverse_sum(a, b);
        const double square = screen_.inverse_square_sum(a, b);
        const double slack = 8.0 * kUnitRoundoff;
        const double upper = ratio * inverse.hi * (1.0 + slack);
        const double lower =
            ratio * inverse.lo * (1.0 - slack) - ratio * ratio * square * (1.0 + slack);
        return {std::max(between.lo, lower), std::min(between.hi, upper)};
    }

    static constexpr int kShortRange = 4;
    const CbyScreen& screen_;
    int s_;
    double h_;
    double scale_;
    double alpha_;
    int beyond_ = 0;
    int unit_ = 0;
};

// The closed BY check of one candidate size r at one level, in exact
// arithmetic. p[m - r ..] are the candidates, p[0 .. m - r - 1] the others.
// At size s and overlap i, the least favourable set is the i largest
// candidates and the s - i largest others; its total weight L(i) must reach
// i / r. L(i) - i / r is convex in i: going from i to i + 1 adds a candidate,
// whose weight grows with i, and drops an outside value, whose weight shrinks
// with i. So one search for where the increments turn finds its minimum.
class ExactCheck {
public:
    ExactCheck(const CbyScreen& screen, int r, double alpha, Hints& hints)
        : screen_(screen), m_(screen.m()), r_(r), alpha_(alpha), share_(1.0 / r), hints_(hints) {}

    // Whether size s passes.
    [[nodiscard]] bool size_passes(int s) const { return failing_overlap(s) == 0; }

    // An overlap i at which size s fails, or 0 when it passes.
    [[nodiscard]] int failing_overlap(int s) const {
        hints_.charge(kWorkPerSize);
        const WeightsAt w(screen_, s, alpha_, hints_);
        const int k = std::min(r_, s);
        const int i0 = std::max(1, s - m_ + r_);
        return least_margin(w, i0, k, s) >= 0 ? 0 : hints_.failing;
    }

    // Whether every size of [a, b] passes, from one bound: weights at size b,
    // the lightest, and only the a - i largest outside values.
    [[nodiscard]] bool sizes_pass(int a, int b) const {
        hints_.charge(kWorkPerSize);
        const WeightsAt w(screen_, b, alpha_, hints_);
        const int i_lo = std::max(1, a - m_ + r_);
        const int i_hi = std::min(r_, b);
        return least_margin(w, i_lo, i_hi, a) >= 0;
    }

    // 0 when the check passes, else a size that violates. Sizes are examined
    // outward from `hint` (a size that violated or bound before), in ranges
    // that widen by a factor of 4; a range no bound settles is halved.
    [[nodiscard]] int violating_size(int hint) {
        const int centre = std::clamp(hint, 1, m_);
        if (!size_passes(centre)) {
            return centre;
        }
        // The k-th range on either side starts (4^k - 1) / 3 sizes from the
        // centre and is 4^k wide. Far ones go first on the stack, so that the
        // near ones come out first, the lower side before the upper.
        std::vector<Hints::SizeRange>& pending = hints_.pending;
        pending.clear();
        const std::int64_t farthest = std::max(m_ - centre, centre - 1);
        std::int64_t width = 1;
        while ((width - 1) / 3 < farthest) {
            width *= 4;
        }
        for (width /= 4; width >= 1; width /= 4) {
            const std::int64_t up = centre + (width - 1) / 3 + 1;
            const std::int64_t down = centre - (width - 1) / 3 - 1;
            if (up <= m_) {
                pending.push_back({static_cast<int>(up),
                                   static_cast<int>(std::min<std::int64_t>(m_, up + width - 1))});
            }
            if (down >= 1) {
                pending.push_back({static_cast<int>(std::max<std::int64_t>(1, down - width + 1)),
                                   static_cast<int>(down)});
            }
        }
        while (!pending.empty()) {
            const auto [a, b] = pending.back();
            pending.pop_back();
            if (a == b) {
                if (!size_passes(a)) {
                    return a;
                }
                continue;
            }
            if (sizes_pass(a, b)) {
                continue;
            }
            const int mid = a + (b - a) / 2;
            if (!size_passes(mid)) {
                return mid;
            }
            if (mid < b) {
                pending.push_back({mid + 1, b});
            }
            if (a < mid) {
                pending.push_back({a, mid - 1});
            }
        }
        return 0;
    }

private:
    // The sign of min over i in [i_lo, i_hi] of L(i) - i / r, where L(i) adds
    // the i largest candidates and the `outside` - i largest other values.
    [[nodiscard]] int least_margin(const WeightsAt& w, int i_lo, int i_hi, int outside) const {
        const int first = m_ - r_;  // the largest candidate
        // Every candidate weighs at least what the largest does: if that is
        // 1 / r, every total reaches i / r on the candidates alone.
        if (w.weighs_at_least_share(first, r_)) {
            return 1;
        }
        const auto increment = [&](int i) {
            const int leaving = outside - i - 1;
            return w.weight(first + i) - (leaving >= 0 ? w.weight(leaving) : 0.0) - share_;
        };
        // The first i whose increment is not negative holds the minimum;
        // rounding may misjudge an increment near 0, so its neighbours too.
        const int turn = detail::first_where_not(i_lo, i_hi, std::clamp(hints_.turn, i_lo, i_hi),
                                                 [&](int i) { return increment(i) < 0.0; });
        hints_.turn = turn;
        for (int i = std::max(i_lo, turn - 1); i <= std::min(i_hi, turn + 1); ++i) {
            if (margin_sign(w, i, outside) < 0) {
                hints_.failing = i;
                return -1;
            }
        }
        return 1;
    }

    // The weights of p[first .. last] summed term by term, from the last
    // such total when it belongs to the same size and level and its ends lie
    // near: a term in, a term out.
    [[nodiscard]] Bounds range_termwise(const WeightsAt& w, int first, int last,
                                        Hints::RangeTotal& kept) const {
        constexpr int kNear = 16;
        const auto near = [](int a, int b) { return a - b <= kNear && b - a <= kNear; };
        if (kept.size == w.size() && kept.level == w.level() && near(kept.first, first)
            && near(kept.last, last) && first <= last + 1) {
            const auto add = [&](int t) {
                const double weight = w.weight(t);
                kept.total = {
                    (kept.total.lo + weight * (1.0 - kUnitRoundoff)) * (1.0 - 2.0 * kUnitRoundoff),
                    (kept.total.hi + weight * (1.0 + kUnitRoundoff)) * (1.0 + 2.0 * kUnitRoundoff)};
            };
            const auto remove = [&](int t) {
                const double weight = w.weight(t);
                kept.total = {
                    std::max(0.0, kept.total.lo - weight * (1.0 + kUnitRoundoff)
                                      - 2.0 * kUnitRoundoff * kept.total.hi),
                    (kept.total.hi - weight * (1.0 - kUnitRoundoff)) * (1.0 + 2.0 * kUnitRoundoff)};
            };
            for (int t = kept.last + 1; t <= last; ++t) {
                add(t);
            }
            for (int t = last + 1; t <= kept.last; ++t) {
                remove(t);
            }
            for (int t = first; t < kept.first; ++t) {
                add(t);
            }
            for (int t = kept.first; t < first; ++t) {
                remove(t);
            }
        } else {
            // A range may span most of the screen: it is summed chunk by
            // chunk, the poll charged before each.
            constexpr auto kChunk = static_cast<std::int64_t>(detail::kPassChunk);
            const auto chunk_sum = [&](std::int64_t a) {
                const std::int64_t b = std::min<std::int64_t>(last, a + kChunk - 1);
                hints_.charge(std::max<std::int64_t>(0, b - a + 1));
                return w.sum_termwise(static_cast<int>(a), static_cast<int>(b));
            };
            const std::int64_t from = std::max(first, w.beyond());
            kept.total = chunk_sum(from);
            for (std::int64_t a = from + kChunk; a <= last; a += kChunk) {
                kept.total = kept.total + chunk_sum(a);
            }
            kept.size = w.size();
            kept.level = w.level();
        }
        kept.first = first;
        kept.last = last;
        return kept.total;
    }

    // The sign of L(i) - i / r: from enclosures where they decide it,
    // exactly where they do not.
    [[nodiscard]] int margin_sign(const WeightsAt& w, int i, int outside) const {
        const int first = m_ - r_;
        const Bounds total = w.sum(first, first + i - 1) + w.sum(0, outside - i - 1);
        const double threshold = static_cast<double>(i) * share_;
        const double slack = 4.0 * kUnitRoundoff * threshold;
        if (total.lo >= threshold + slack) {
            return 1;
        }
        if (total.hi < threshold - slack) {
            hints_.shortfall = (threshold - slack) - total.hi;
            return -1;
        }
        const Bounds termwise = range_termwise(w, first, first + i - 1, hints_.candidates)
                                + range_termwise(w, 0, outside - i - 1, hints_.others);
        if (termwise.lo >= threshold + slack) {
            return 1;
        }
        if (termwise.hi < threshold - slack) {
            hints_.shortfall = (threshold - slack) - termwise.hi;
            return -1;
        }
        hints_.shortfall = 0.0;
        // Exact sums cost a 128-bit division a term: the poll is charged
        // chunk by chunk.
        detail::ExactReciprocalSum exact;
        const auto add_exactly = [&](int a, int b) {
            constexpr auto kChunk = static_cast<std::int64_t>(detail::kPassChunk);
            for (std::int64_t from = a; from <= b; from += kChunk) {
                const auto to = static_cast<int>(std::min<std::int64_t>(b, from + kChunk - 1));
                w.add_exactly(static_cast<int>(from), to, exact);
                hints_.charge(to - from + 1);
            }
        };
        add_exactly(first, first + i - 1);
        add_exactly(0, outside - i - 1);
        return exact.compare(i, r_) >= 0 ? 1 : -1;
    }

    const CbyScreen& screen_;
    int m_;
    int r_;
    double alpha_;
    double share_;  // 1 / r
    Hints& hints_;
};

// The smallest double level at which x * factor <= divisor * level, exactly:
// a search over the doubles (ordered as their bit patterns), galloping from
// the float quotient, which lies an ulp or two away unless it underflows.
double level_reaching(double x, double factor, double divisor) {
    const auto reaches = [&](std::uint64_t bits) {
        return detail::compare_products(x, factor, divisor, std::bit_cast<double>(bits)) <= 0;
    };
    const double estimate = (x * factor) / divisor;
    const auto top = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::max());
    std::uint64_t high = std::isfinite(estimate) ? std::bit_cast<std::uint64_t>(estimate) : top;
    std::uint64_t low = 0;  // reaches(low) is false, or low is 0
    if (reaches(high)) {
        for (std::uint64_t step = 1; step <= high; step *= 2) {
            if (!reaches(high - step)) {
                low = high - step;
                break;
            }
            high -= step;
            if (high == 0) {
                return 0.0;
            }
        }
    } else {
        low = high;
        for (std::uint64_t step = 1;; step *= 2) {
            high = std::min(top, low + step);
            if (reaches(high)) {
                break;
            }
            low = high;
        }
    }
    while (high - low > 1) {
        const std::uint64_t mid = low + (high - low) / 2;
        (reaches(mid) ? high : low) = mid;
    }
    return std::bit_cast<double>(high);
}

// The levels at which the weights of the least favourable set of one size
// and overlap change, walked upward from a level at which its total falls
// short of i / r: each member's weight changes where x S / alpha crosses a
// whole number, or where x h reaches alpha. The first level at which the
// exact total reaches i / r is where the overlap passes. For sets of a few
// members in a bracket narrow enough that each changes its weight a few
// times at most.
class OverlapWalk {
public:
    OverlapWalk(const CbyScreen& screen, int s) : screen_(screen), h_(screen.harmonic(s)) {
        scale_ = static_cast<double>(s) * h_;
    }

    void add_member(int t) { members_.push_back({screen_.p(t), 0, 0.0}); }
    [[nodiscard]] std::size_t members() const { return members_.size(); }

    // The first level in (lo, hi] at which the total reaches i / r, or NaN
    // when that takes more than `changes` changes of the members' weights.
    double first_passing(double lo, double hi, int i, int r, std::size_t changes) {
        for (Member& member : members_) {
            member.step = detail::exact_step(member.x, h_, scale_, lo);
            member.next = next_change(member);
        }
        for (std::size_t walked = 0;; ++walked) {
            if (walked > changes) {
                return std::numeric_limits<double>::quiet_NaN();
            }
            double level = kInfinity;
            for (const Member& member : members_) {
                level = std::min(level, member.next);
            }
            if (!(level < hi)) {
                return hi;
            }
            double total = 0.0;
            for (Member& member : members_) {
                if (member.next <= level) {
                    member.step = detail::exact_step(member.x, h_, scale_, level);
                    member.next = next_change(member);
                }
                total += member.step > 0 ? 1.0 / static_cast<double>(member.step) : 0.0;
            }
            // The float total decides unless it lies within its rounding of
            // i / r; then the exact one.
            const double threshold = static_cast<double>(i) / static_cast<double>(r);
            const double slack =
                static_cast<double>(members_.size() + 4) * 2.0 * kUnitRoundoff * threshold;
            if (total >= threshold + slack) {
                return level;
            }
            if (total > threshold - slack) {
                detail::ExactReciprocalSum exact;
                for (const Member& member : members_) {
                    exact.add(member.step);
                }
                if (exact.compare(i, r) >= 0) {
                    return level;
                }
            }
        }
    }

private:
    struct Member {
        double x;
        std::int64_t step;  // 0 beyond the cut-off
        double next;        // the next level at which its weight grows
    };

    [[nodiscard]] double next_change(const Member& member) const {
        if (member.step == 0) {
            return level_reaching(member.x, h_, 1.0);
        }
        if (member.step == 1) {
            return kInfinity;
        }
        return level_reaching(member.x, scale_, static_cast<double>(member.step - 1));
    }

    const CbyScreen& screen_;
    double h_;
    double scale_ = 0.0;
    std::vector<Member> members_;
};

// The first double level in (lo, hi] at which overlap i of size s passes for
// r, given that it fails at lo and passes at hi, by halving the bracket. A
// member whose step is the same at both ends keeps it in between (steps only
// fall as the level rises, once within the cut-off), so only the others are
// weighed again at each level, and each halving leaves about half of them.
double overlap_level(const CbyScreen& screen, int r, int s, int i, double lo, double hi,
                     Hints& hints) {
    const int m = screen.m();
    const double h = screen.harmonic(s);
    const double scale = static_cast<double>(s) * h;
    const auto weight = [](std::int64_t step) {
        return step > 0 ? 1.0 / static_cast<double>(step) : 0.0;
    };
    struct Changing {
        double x;
        std::int64_t low_step;
        std::int64_t high_step;
    };
    std::vector<Changing> changing;
    std::vector<std::int64_t> fixed_steps;
    double fixed = 0.0;
    // A set may hold most of the screen: the poll is charged as it is weighed.
    std::int64_t unpolled = 0;
    const auto weighed = [&] {
        if (++unpolled == static_cast<std::int64_t>(detail::kPassChunk)) {
            hints.charge(unpolled);
            unpolled = 0;
        }
    };
    const auto add = [&](int t) {
        weighed();
        const double x = screen.p(t);
        const std::int64_t low_step = detail::exact_step(x, h, scale, lo);
        const std::int64_t high_step = detail::exact_step(x, h, scale, hi);
        if (low_step == high_step) {
            fixed += weight(low_step);
            fixed_steps.push_back(low_step);
        } else {
            changing.push_back({x, low_step, high_step});
        }
    };
    const int weighted = WeightsAt(screen, s, hi, hints).beyond();
    for (int t = std::max(weighted, m - r); t <= m - r + i - 1; ++t) {
        add(t);
    }
    for (int t = weighted; t <= s - i - 1; ++t) {
        add(t);
    }
    const std::size_t members = fixed_steps.size() + changing.size();
    const double threshold = static_cast<double>(i) / static_cast<double>(r);
    const double slack = static_cast<double>(members + 4) * 2.0 * kUnitRoundoff * threshold;
    std::vector<std::int64_t> steps;
    // Whether the overlap passes at `level`; the steps of the changing
    // members there go to `steps`.
    const auto passes = [&](double level) {
        steps.resize(changing.size());
        double total = fixed;
        for (std::size_t j = 0; j < changing.size(); ++j) {
            weighed();
            steps[j] = detail::exact_step(changing[j].x, h, scale, level);
            total += weight(steps[j]);
        }
        // The float total decides unless it lies within its rounding of
        // i / r; then the exact one.
        if (total >= threshold + slack) {
            return true;
        }
        if (total <= threshold - slack) {
            return false;
        }
        detail::ExactReciprocalSum exact;
        for (const std::int64_t step : fixed_steps) {
            weighed();
            exact.add(step);
        }
        for (const std::int64_t step : steps) {
            weighed();
            exact.add(step);
        }
        return exact.compare(i, r) >= 0;
    };
    auto below = std::bit_cast<std::uint64_t>(lo);
    auto above = std::bit_cast<std::uint64_t>(hi);
    while (above - below > 1) {
        const std::uint64_t mid = below + (above - below) / 2;
        const bool pass = passes(std::bit_cast<double>(mid));
        std::size_t kept = 0;
        for (std::size_t j = 0; j < changing.size(); ++j) {
            Changing member = changing[j];
            (pass ? member.high_step : member.low_step) = steps[j];
            if (member.low_step == member.high_step) {
                fixed += weight(member.low_step);
                fixed_steps.push_back(member.low_step);
            } else {
                changing[kept++] = member;
            }
        }
        changing.resize(kept);
        (pass ? above : below) = mid;
    }
    return std::bit_cast<double>(above);
}

// The smallest double level in (lo, hi] at which size s passes for r, given
// that it fails at lo and passes at hi. Doubles order as their bit patterns:
// the bracket is narrowed by galloping and halving until each weight changes
// at most about once inside, then the overlap that fails at lo is followed to
// the level at which it passes (walked change by change when its least
// favourable set is small), until the whole size passes there.
double size_level(const CbyScreen& screen, int r, int s, double lo, double hi, Hints& hints) {
    constexpr std::size_t kWalkedMembers = 64;
    const int m = screen.m();
    // The level at which the overlap failing at `low` passes, walked from
    // `low` over at most `changes` weight changes: NaN when its set is too
    // large or the walk too long, otherwise a level at which the size passes
    // or a new `low`.
    const auto walk = [&](double low, double high, std::size_t changes) {
        const int i = ExactCheck(screen, r, low, hints).failing_overlap(s);
        OverlapWalk set(screen, s);
        const int weighted = WeightsAt(screen, s, high, hints).beyond();
        for (int t = std::max(weighted, m - r);
             t <= m - r + i - 1 && set.members() <= kWalkedMembers; ++t) {
            set.add_member(t);
        }
        for (int t = weighted; t <= s - i - 1 && set.members() <= kWalkedMembers; ++t) {
            set.add_member(t);
        }
        if (i == 0 || set.members() > kWalkedMembers) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        return set.first_passing(low, high, i, r, changes);
    };
    // Near the last level found, a size's own is often a few weight changes
    // away: walk there at once.
    for (double passing = lo; passing > 0.0;) {
        passing = walk(passing, hi, 4 * kWalkedMembers);
        if (std::isnan(passing)) {
            break;
        }
        if (ExactCheck(screen, r, passing, hints).size_passes(s)) {
            return passing;
        }
        lo = passing;
    }
    // With no lower bound yet, a size's level often lies just below hi.
    for (double width = 0x1p-10; lo == 0.0 && width < 1.0; width *= 4.0) {
        const double probe = hi * (1.0 - width);
        if (!ExactCheck(screen, r, probe, hints).size_passes(s)) {
            lo = probe;
            break;
        }
        hi = probe;
    }
    // Levels of neighbouring sizes lie close together: gallop up from lo.
    for (double width = 0x1p-24; lo > 0.0 && width < 1.0; width *= 16.0) {
        const double probe = lo * (1.0 + width);
        if (probe >= hi) {
            break;
        }
        if (ExactCheck(screen, r, probe, hints).size_passes(s)) {
            hi = probe;
            break;
        }
        lo = probe;
    }
    // A weight changes inside a bracket (lo, hi] where x S / alpha crosses a
    // whole number: while the bracket is wider than about 1 / s, most do.
    const double narrow = 1.0 / static_cast<double>(s + 1);
    auto below = std::bit_cast<std::uint64_t>(lo);
    auto above = std::bit_cast<std::uint64_t>(hi);
    while (above - below > 1 && hi - lo > narrow * hi) {
        const std::uint64_t mid = below + (above - below) / 2;
        if (ExactCheck(screen, r, std::bit_cast<double>(mid), hints).size_passes(s)) {
            above = mid;
        } else {
            below = mid;
        }
        lo = std::bit_cast<double>(below);
        hi = std::bit_cast<double>(above);
    }
    for (;;) {
        const int i = ExactCheck(screen, r, lo, hints).failing_overlap(s);
        const double passing = overlap_level(screen, r, s, i, lo, hi, hints);
        if (ExactCheck(screen, r, passing, hints).size_passes(s)) {
            return passing;
        }
        lo = passing;
    }
}

// The levels read off the exact search itself, for inputs the computation
// above does not take: A(r) by bisection over the doubles in (0, 1], split
// over the ranks (the count at the middle level sends each rank between the
// counts at the ends to one half). About 60 searches per distinct level.
std::vector<double> levels_by_search(std::span<const double> pvalues, Interrupt interrupt,
                                     detail::ProgressReport& report) {
    const int m = static_cast<int>(pvalues.size());
    const auto count = [&](std::uint64_t bits) {
        return largest_cby_significant_exact(pvalues, std::bit_cast<double>(bits), interrupt);
    };
    std::vector<double> by_rank(static_cast<std::size_t>(m) + 1, 1.0);
    struct Split {
        std::uint64_t low;
        std::uint64_t high;
        int count_low;
        int count_high;
    };
    const auto one = std::bit_cast<std::uint64_t>(1.0);
    const int top = count(one);
    std::int64_t done = m - top;
    std::vector<Split> pending;
    if (top > 0) {
        pending.push_back({0, one, 0, top});
    }
    while (!pending.empty()) {
        report(done);
        const Split split = pending.back();
        pending.pop_back();
        if (split.high - split.low == 1) {
            const auto level = std::bit_cast<double>(split.high);
            std::fill(by_rank.begin() + split.count_low + 1, by_rank.begin() + split.count_high + 1,
                      level);
            done += split.count_high - split.count_low;
            continue;
        }
        const std::uint64_t middle = split.low + (split.high - split.low) / 2;
        const int count_middle = std::clamp(count(middle), split.count_low, split.count_high);
        if (count_middle < split.count_high) {
            pending.push_back({middle, split.high, count_middle, split.count_high});
        }
        if (count_middle > split.count_low) {
            pending.push_back({split.low, middle, split.count_low, count_middle});
        }
    }
    report(m);
    return {by_rank.rbegin(), by_rank.rend() - 1};
}

}  // namespace

std::vector<double> closed_by_levels(std::span<const double> pvalues, Interrupt interrupt,
                                     Progress progress) {
    detail::InterruptPoll poll(interrupt);
    detail::ProgressReport report(progress, static_cast<std::int64_t>(pvalues.size()));
    const CbyScreen screen(pvalues, poll);
    if (!screen.descending()) {
        return levels_by_search(pvalues, interrupt, report);
    }
    const int m = screen.m();
    std::vector<double> levels(pvalues.size(), 1.0);
    double level = 1.0;  // A(r + 1)
    int witness = 0;     // the last size found violating
    int binding = 0;     // the size that set the last level
    Hints hints;
    hints.poll = &poll;
    // The violation found for the last r: its size, level, overlap and
    // shortfall.
    struct Carried {
        int r = 0;
        int size = 0;
        double level = -1.0;
        int overlap = 0;
        double shortfall = 0.0;
    } carried;
    bool lowered = false;  // whether the last r lowered the level
    const auto fails_at = [&](int r, int s, double alpha) {
        return !ExactCheck(screen, r, alpha, hints).size_passes(s);
    };
    // The last size of the run of sizes failing at alpha that starts at s,
    // looked for within 256 sizes: runs can be long (as long as the screen
    // when nothing outside weighs), and a run that ends far away is best
    // reached in a few such jumps, each raising alpha, rather than one.
    const auto last_failing = [&](int s, int r, double alpha) {
        int failing = s;
        int passing = std::min(m, s + 256) + 1;
        for (int step = 1; failing + step < passing; step *= 2) {
            if (!fails_at(r, failing + step, alpha)) {
                passing = failing + step;
                break;
            }
            failing += step;
        }
        while (passing - failing > 1) {
            const int mid = failing + (passing - failing) / 2;
            (fails_at(r, mid, alpha) ? failing : passing) = mid;
        }
        return failing;
    };
    for (int r = m; r >= 1; --r) {
        report(m - r);
        const double below = detail::previous_double(level);
        // The witness of r + 1 usually fails for r too, at the same overlap:
        // its set gains the candidate p[m - r + i - 1] and loses p[m - r - 1],
        // and i / r exceeds i / (r + 1) by i / (r (r + 1)). If the shortfall
        // carried over covers that, it fails without being evaluated again.
        if (carried.r == r + 1 && carried.size == witness && carried.level == below
            && carried.overlap <= std::min(r, witness)) {
            const WeightsAt w(screen, witness, below, hints);
            const int i = carried.overlap;
            const double gain = w.weight(m - r + i - 1) * (1.0 + 2.0 * kUnitRoundoff)
                                - w.weight(m - r - 1) * (1.0 - 2.0 * kUnitRoundoff);
            const double harder = static_cast<double>(i)
                                  / (static_cast<double>(r) * static_cast<double>(r + 1))
                                  * (1.0 - 4.0 * kUnitRoundoff);
            const double shortfall = carried.shortfall - gain + harder
                                     - 8.0 * kUnitRoundoff * static_cast<double>(i) / r;
            if (shortfall > 0.0) {
                carried.r = r;
                carried.shortfall = shortfall;
                levels[static_cast<std::size_t>(m - r)] = level;
                continue;
            }
        }
        // Whether crit(r) < A(r + 1): whether the check passes just below
        // it. Where the last r lowered the level this one usually does too,
        // and the whole check is left out: a size failing there turns up
        // while crit(r) is raised.
        bool passes_below = false;
        if (!lowered) {
            const int violating = ExactCheck(screen, r, below, hints).violating_size(witness);
            if (violating > 0) {
                witness = violating;
                carried = {r, violating, below, hints.failing, hints.shortfall};
                levels[static_cast<std::size_t>(m - r)] = level;
                continue;
            }
            passes_below = true;
        }
        // crit(r) is raised from 0 to the level of one failing size after
        // another (each at most crit(r)) until the whole check passes there.
        // A size that fails just below A(r + 1) shows that crit(r) is not
        // smaller, and A(r) = A(r + 1). The sizes that failed or bound last
        // go first.
        double crit = 0.0;
        bool kept = false;
        // Raises crit to the level of s, failing at crit; false when s fails
        // below A(r + 1) too.
        const auto raise = [&](int s) {
            if (!passes_below && fails_at(r, s, below)) {
                witness = s;
                carried = {r, s, below, hints.failing, hints.shortfall};
                return false;
            }
            binding = s;
            crit = size_level(screen, r, s, crit, below, hints);
            return true;
        };
        for (const int s : {witness, binding}) {
            if (!kept && s > 0 && fails_at(r, s, crit)) {
                kept = !raise(s);
            }
        }
        while (!kept) {
            const int s = ExactCheck(screen, r, crit, hints).violating_size(binding);
            if (s == 0) {
                break;
            }
            kept = !raise(s);
            // Failing sizes come in runs whose levels grow with the size (the
            // larger S_s, the lighter every weight): jump to the end of the
            // run, found by galloping, without a whole check.
            while (!kept && binding < m && fails_at(r, binding + 1, crit)) {
                kept = !raise(last_failing(binding + 1, r, crit));
            }
        }
        if (!kept) {
            level = crit;
            witness = binding;
        }
        lowered = !kept;
        levels[static_cast<std::size_t>(m - r)] = level;
    }
    report(m);
    return levels;
}

std::vector<double> closed_by_levels_plain(std::span<const double> pvalues) {
    const CbyScreen screen(pvalues, detail::NoInterruptPoll{});
    const int m = screen.m();
    // Every size and overlap, each least favourable set summed exactly.
    const auto passes = [&](int r, double alpha) {
        Hints hints;
        for (int s = 1; s <= m; ++s) {
            const WeightsAt w(screen, s, alpha, hints);
            for (int i = std::max(1, s - m + r); i <= std::min(r, s); ++i) {
                detail::ExactReciprocalSum sum;
                w.add_exactly(m - r, m - r + i - 1, sum);
                w.add_exactly(0, s - i - 1, sum);
                if (sum.compare(i, r) < 0) {
                    return false;
                }
            }
        }
        return true;
    };
    std::vector<double> levels(pvalues.size(), 1.0);
    double level = 1.0;
    for (int r = m; r >= 1; --r) {
        if (passes(r, level)) {
            auto below = std::uint64_t{0};
            auto above = std::bit_cast<std::uint64_t>(level);
            while (above - below > 1) {
                const std::uint64_t mid = below + (above - below) / 2;
                (passes(r, std::bit_cast<double>(mid)) ? above : below) = mid;
            }
            level = std::bit_cast<double>(above);
        }
        levels[static_cast<std::size_t>(m - r)] = level;
    }
    return levels;
}

}  // namespace tulm
