#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iostream>
#include <limits>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "cpu_features.hpp"
#include "pvalue/cby_check.hpp"
#include "pvalue/cby_search.hpp"
#include "pvalue/fast/convex_minimum.hpp"
#include "pvalue/fast/enclosure.hpp"
#include "pvalue/fast/examined_size.hpp"
#include "pvalue/fast/fast_check.hpp"
#include "pvalue/fast/search_tables.hpp"
#include "pvalue/fast/size_weights.hpp"
#include "pvalue/fast/weight_blocks.hpp"
#include "pvalue/fast/weight_runs.hpp"
#include "tulm/pvalue.hpp"

namespace {

using tulm::CbyCheckResult;
using tulm::detail::CbySearchTables;
using tulm::detail::FastCbyCheck;
using tulm::detail::FastCheckCounts;
using tulm::detail::SizeTest;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// ------------------------------------------------------------ weight blocks

using BlockFunction = void (*)(const double*, std::size_t, double, double, double*);

struct BlockPath {
    const char* name;
    BlockFunction function;
    bool available;
};

void PrintTo(const BlockPath& path, std::ostream* os) { *os << path.name; }

class StepWeightBlocks : public testing::TestWithParam<BlockPath> {};

// Every lane and every tail length, with the values where the scalar code's
// explicit comparison matters: NaN and -0.0 ceilings, infinities, steps just
// around 1 and exact integers.
TEST_P(StepWeightBlocks, BitForBitTheScalarWeight) {
    const BlockPath& path = GetParam();
    if (!path.available) {
        GTEST_SKIP() << "no AVX2 on this CPU";
    }
    const std::vector<double> special{0.0,  -0.0, kNaN,  kInf, -kInf,       1e-300, 5e-324,     1.0,
                                      0.05, 2.0,  1e300, -3.5, 0.5 + 1e-10, 1e-10,  1.0 + 1e-16};
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> x;
    for (int t = 0; t < 3000; ++t) {
        x.push_back(t % 5 == 0 ? special[static_cast<std::size_t>(t / 5) % special.size()]
                               : std::pow(10.0, -12.0 * unit(rng)));
    }
    const std::vector<std::pair<double, double>> scales{{1.0, 20.0},    {3.0e7, 20.0}, {kNaN, 20.0},
                                                        {kInf, 1.0},    {1.0, kInf},   {-2.0, 0.5},
                                                        {1e300, 1e-300}};
    for (const auto& [T, inv] : scales) {
        for (std::size_t n : {0U, 1U, 3U, 4U, 5U, 7U, 255U, 3000U}) {
            std::vector<double> blocks(n, -1.0);
            path.function(x.data(), n, T, inv, blocks.data());
            for (std::size_t t = 0; t < n; ++t) {
                ASSERT_TRUE(same_bits(blocks[t], tulm::detail::weight_of(x[t], T, inv)))
                    << "x " << x[t] << ", T " << T << ", inv " << inv << ", n " << n;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, StepWeightBlocks,
    testing::Values(BlockPath{"portable", tulm::detail::weights_of_portable, true},
                    BlockPath{"avx2", tulm::detail::weights_of_avx2, tulm::detail::cpu_has_avx2()},
                    BlockPath{"dispatched", tulm::detail::weights_of, true}),
    [](const testing::TestParamInfo<BlockPath>& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------- run list

// The cache as the check keeps it: entry t holds the size that wrote it, 0
// when zero.
struct DenseCache {
    std::vector<int> writer;
    void write(int first, int last, int size) {
        for (int t = first; t <= last; ++t) {
            writer[static_cast<std::size_t>(t)] = size;
        }
    }
    int clear_down(int from) {
        int t = from;
        for (; t >= 1 && writer[static_cast<std::size_t>(t)] != 0; --t) {
            writer[static_cast<std::size_t>(t)] = 0;
        }
        return t;
    }
};

TEST(WeightRuns, MatchTheCacheTheyModel) {
    std::mt19937_64 rng(3);
    for (int sequence = 0; sequence < 300; ++sequence) {
        const int m = std::uniform_int_distribution<int>(1, 60)(rng);
        DenseCache dense{std::vector<int>(static_cast<std::size_t>(m) + 1, 0)};
        tulm::detail::WeightRuns runs;
        std::uniform_int_distribution<int> entry(0, m);
        for (int op = 0; op < 80; ++op) {
            if (std::bernoulli_distribution(0.6)(rng)) {
                int first = std::max(1, entry(rng));
                int last = std::min(m, first + std::uniform_int_distribution<int>(-2, 12)(rng));
                dense.write(first, last, op + 1);
                runs.write(first, last, op + 1);
            } else {
                const int from = entry(rng);
                ASSERT_EQ(runs.clear_down(from), dense.clear_down(from)) << "sequence " << sequence;
            }
            for (int t = 0; t <= m; ++t) {
                const auto* run = runs.find(t);
                ASSERT_EQ(run == nullptr ? 0 : run->size, dense.writer[static_cast<std::size_t>(t)])
                    << "sequence " << sequence << ", entry " << t;
            }
        }
        for (std::size_t r = 1; r < runs.runs().size(); ++r) {
            EXPECT_LT(runs.runs()[r - 1].last, runs.runs()[r].first) << "runs overlap or disorder";
        }
    }
}

// -------------------------------------------------------------- enclosures

// Sum of weights, compensated (Neumaier): within a few u of the exact sum,
// far inside any enclosure the bounds give.
double compensated_sum(const std::vector<double>& p, int a, int b, double T, double inv) {
    double sum = 0.0;
    double lost = 0.0;
    for (int j = a; j <= b; ++j) {
        const double w = tulm::detail::weight_of(p[static_cast<std::size_t>(j)], T, inv);
        const double next = sum + w;
        lost += std::fabs(sum) >= std::fabs(w) ? (sum - next) + w : (w - next) + sum;
        sum = next;
    }
    return sum + lost;
}

// Where the p-values sit relative to the steps q alpha / (s H_s) of the size
// probed: anywhere, on the steps (1/q meets the upper bound 1/y) or just above
// them (the step rounds up: 1/q meets the lower bound 1/(y + 1)).
enum class Placement { anywhere, on_steps, above_steps };

struct EnclosureCase {
    const char* why;
    Placement placement;
    double alpha;
};

void PrintTo(const EnclosureCase& c, std::ostream* os) { *os << c.why; }

class SizeWeightSums : public testing::TestWithParam<EnclosureCase> {};

TEST_P(SizeWeightSums, EncloseTheExactSum) {
    const EnclosureCase& c = GetParam();
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int screen = 0; screen < 40; ++screen) {
        const int m = std::uniform_int_distribution<int>(2, 3000)(rng);
        const std::vector<double> harmonic = tulm::build_harmonic_table(m);
        const int s = std::uniform_int_distribution<int>(2, m)(rng);
        const double step = c.alpha / (s * harmonic[static_cast<std::size_t>(s)]);
        const double spread = 1.0 + 20.0 * unit(rng);
        std::vector<double> p(static_cast<std::size_t>(m));
        for (double& x : p) {
            const double q = std::floor(std::pow(10.0, spread * unit(rng)));
            switch (c.placement) {
                case Placement::anywhere: x = step * std::pow(10.0, spread * unit(rng)); break;
                case Placement::on_steps: x = q * step; break;
                case Placement::above_steps: x = (q + 1e-7) * step; break;
            }
            x = std::min(x, 0.9);
        }
        std::sort(p.begin(), p.end(), std::greater<>());
        const CbySearchTables tables(p, harmonic, c.alpha);
        ASSERT_TRUE(tables.usable());
        tulm::detail::SizeMemo memo(tables);
        for (int probe = 0; probe < 60; ++probe) {
            if (probe == 30) {
                // From here on ranges meeting the window are enclosed from it.
                const int first = std::uniform_int_distribution<int>(0, m - 1)(rng);
                tulm::detail::NoInterruptPoll poll;
                memo.make_window(s, first, std::min(m - 1, first + 1000), poll);
            }
            const tulm::detail::SizeWeights w(tables, s, &memo);
            const int a = std::uniform_int_distribution<int>(0, m - 1)(rng);
            const int b = std::uniform_int_distribution<int>(a, m - 1)(rng);
            const auto bound = w.sum(a, b);
            const double exact =
                compensated_sum(p, std::max(a, w.beyond()), b, w.T(), tables.inv());
            ASSERT_LE(bound.lo, exact * (1.0 + 1e-14))
                << "m " << m << ", s " << s << ", " << a << " .. " << b;
            ASSERT_GE(bound.hi, exact * (1.0 - 1e-14))
                << "m " << m << ", s " << s << ", " << a << " .. " << b;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Placements, SizeWeightSums,
    testing::Values(EnclosureCase{"anywhere", Placement::anywhere, 0.05},
                    EnclosureCase{"on_steps_upper_bound_tight", Placement::on_steps, 0.05},
                    EnclosureCase{"above_steps_lower_bound_tight", Placement::above_steps, 0.05},
                    EnclosureCase{"tiny_level", Placement::anywhere, 1e-80},
                    EnclosureCase{"huge_level", Placement::on_steps, 1e80}),
    [](const testing::TestParamInfo<EnclosureCase>& param) {
        return std::string(param.param.why);
    });

// Each term just over half an ulp of the running sum rounds the sum up by
// almost as much again: the worst case the gamma_n bound must still cover.
TEST(RoundedSum, CoversWorstCaseRounding) {
    for (const std::int64_t n : {100, 1000, 4096}) {
        const double term = 0x1p-53 + 0x1p-80;
        double sum = 1.0;
        for (std::int64_t t = 0; t < n; ++t) {
            sum += term;
        }
        // The exact sum 1 + n 2^-53 + n 2^-80 lies between 1 + n 2^-53 (a
        // double for even n) and the next double.
        const double below = 1.0 + static_cast<double>(n) * 0x1p-53;
        const tulm::detail::Enclosure exact{below, tulm::detail::next_above(below)};
        const auto bound = tulm::detail::rounded_sum(exact, n);
        EXPECT_GT(sum, exact.hi) << "the case must round up, n " << n;
        EXPECT_LE(bound.lo, sum) << n;
        EXPECT_GE(bound.hi, sum) << n;
    }
}

// ---------------------------------------------- fast check against reference

using Visit = std::pair<int, SizeTest>;

struct Verdict {
    CbyCheckResult result;
    std::vector<Visit> visits;
    bool operator==(const Verdict& other) const {
        return result.res == other.result.res && result.at_s == other.result.at_s
               && visits == other.visits;
    }
};

Verdict reference_check(const std::vector<double>& p, int r, const std::vector<double>& harmonic,
                        int warm_s, double alpha) {
    Verdict verdict{};
    tulm::detail::CbyWorkspace work;
    verdict.result = tulm::detail::cby_check_observed(
        work, p, r, harmonic, warm_s, alpha,
        [&verdict](int s, SizeTest test) { verdict.visits.emplace_back(s, test); });
    return verdict;
}

Verdict fast_check(FastCbyCheck& fast, int r, int warm_s) {
    Verdict verdict{};
    verdict.result =
        fast.run(r, warm_s, tulm::detail::SizeVisits::all,
                 [&verdict](int s, SizeTest test) { verdict.visits.emplace_back(s, test); });
    return verdict;
}

// The screens the searches meet, and the corners around their comparisons.
enum class Kind { mixture, log_uniform, linear, around_alpha, boundaries, ties, extremes };

const char* const kKindNames[] = {"nulls and signals",
                                  "log-uniform",
                                  "linear at twice BY",
                                  "around alpha",
                                  "on cut-offs and step boundaries",
                                  "ties and zeros",
                                  "subnormal, tiny and huge"};

std::vector<double> make_screen(Kind kind, int m, double alpha, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::vector<double> harmonic = tulm::build_harmonic_table(m);
    std::vector<double> p(static_cast<std::size_t>(m));
    const double level = std::isfinite(alpha) && alpha > 0.0 ? std::min(alpha, 0.5) : 0.05;
    for (int t = 0; t < m; ++t) {
        double& x = p[static_cast<std::size_t>(t)];
        switch (kind) {
            case Kind::mixture: {
                const double z = normal(rng) + (unit(rng) < 0.2 ? 3.0 : 0.0);
                x = 0.5 * std::erfc(z / std::sqrt(2.0));
                break;
            }
            case Kind::log_uniform: x = std::pow(10.0, -14.0 * static_cast<double>(t) / m); break;
            case Kind::linear:
                x = 2.0 * level * (m - t) / (m * harmonic[static_cast<std::size_t>(m)]);
                break;
            case Kind::around_alpha:
                // Outside weights at many sizes with gaps between them: scans
                // can reach entries that other sizes left in the cache.
                x = level * std::pow(10.0, 1.0 - 3.0 * unit(rng));
                break;
            case Kind::boundaries: {
                // (q + nudge) alpha / (s H_s): the step boundaries of size s;
                // q = s + 1 sits on the cut-off.
                const int s = std::uniform_int_distribution<int>(1, m)(rng);
                const int q = std::uniform_int_distribution<int>(1, s + 1)(rng);
                x = q * level / (s * harmonic[static_cast<std::size_t>(s)]);
                for (int n = std::uniform_int_distribution<int>(-2, 2)(rng); n != 0;
                     n -= n > 0 ? 1 : -1) {
                    x = std::nextafter(x, n > 0 ? kInf : 0.0);
                }
                break;
            }
            case Kind::ties:
                x = std::round(20.0 * level * unit(rng)) / 100.0;  // zeros among them
                if (x == 0.0 && unit(rng) < 0.5) {
                    x = -0.0;
                }
                break;
            case Kind::extremes: {
                const std::vector<double> values{5e-324, 1e-310, 1e-300, 1e-200, 1e-12, level / 3,
                                                 level,  0.7,    1.0,    3.0,    1e10,  1e300};
                x = values[std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(rng)]
                    * (0.5 + unit(rng));
                break;
            }
        }
    }
    std::sort(p.begin(), p.end(), std::greater<>());
    return p;
}

const std::vector<Kind> kAllKinds{Kind::mixture,      Kind::log_uniform, Kind::linear,
                                  Kind::around_alpha, Kind::boundaries,  Kind::ties,
                                  Kind::extremes};

// Breaks the order or the finiteness that the fast path needs: these go to
// the reference check, and the answers must not change.
enum class Spoil { none, shuffled, one_swap, nan, infinity, negative };

void spoil(std::vector<double>& p, Spoil how, std::mt19937_64& rng) {
    if (p.size() < 2 || how == Spoil::none) {
        return;
    }
    std::uniform_int_distribution<std::size_t> at(0, p.size() - 1);
    switch (how) {
        case Spoil::none: break;
        case Spoil::shuffled: std::shuffle(p.begin(), p.end(), rng); break;
        case Spoil::one_swap: std::swap(p[0], p[p.size() - 1]); break;
        case Spoil::nan: p[at(rng)] = kNaN; break;
        case Spoil::infinity: p[at(rng)] = kInf; break;
        case Spoil::negative: p[at(rng)] = -0.01; break;
    }
}

struct Coverage {
    FastCheckCounts counts;
    int fast_searches = 0;
    int reference_searches = 0;
    int checks_compared = 0;
};

// Runs check after check on one set of tables, as the searches do (hints
// from earlier failures; per-size data and weight windows kept from check to
// check), comparing each with the reference check: the bisection's checks,
// the exact search's from m down and from just above the answer down, and
// any r with any hint.
void compare_checks(const std::vector<double>& p, double alpha, std::mt19937_64& rng,
                    Coverage& coverage, const std::string& what) {
    const int m = static_cast<int>(p.size());
    const std::vector<double> harmonic = tulm::build_harmonic_table(m);
    const CbySearchTables tables(p, harmonic, alpha);
    if (!tables.usable()) {
        return;
    }
    FastCbyCheck fast(tables);
    const auto compare = [&](int r, int warm_s) {
        const Verdict expected = reference_check(p, r, harmonic, warm_s, alpha);
        EXPECT_EQ(fast_check(fast, r, warm_s), expected)
            << what << ", r " << r << ", warm_s " << warm_s;
        // Unobserved, the check may end early; its answer may not change.
        const CbyCheckResult silent = fast.run(r, warm_s, tulm::detail::SizeVisits::until_proven,
                                               tulm::detail::IgnoreSizes{});
        EXPECT_EQ(silent.res, expected.result.res) << what << ", r " << r << ", warm_s " << warm_s;
        EXPECT_EQ(silent.at_s, expected.result.at_s)
            << what << ", r " << r << ", warm_s " << warm_s;
        ++coverage.checks_compared;
        return expected.result;
    };
    const auto down_from = [&](int top, int calls) {
        int warm_s = 0;
        for (int r = top; r >= 1 && calls-- > 0; --r) {
            const CbyCheckResult result = compare(r, warm_s);
            if (result.res) {
                return;
            }
            warm_s = result.at_s;
        }
    };

    int lo = tulm::by_count(p, harmonic, alpha) + 1;
    int hi = m;
    int answer = lo - 1;
    int warm_s = 0;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        const CbyCheckResult result = compare(mid, warm_s);
        if (result.res) {
            answer = mid;
            lo = mid + 1;
        } else {
            hi = mid - 1;
            warm_s = result.at_s;
        }
    }
    down_from(m, 25);
    down_from(std::min(m, answer + 25), 40);
    std::uniform_int_distribution<int> size(0, m);
    for (int call = 0; call < 8; ++call) {
        compare(size(rng), size(rng));
    }
    coverage.counts += fast.counts();
}

void compare_searches(const std::vector<double>& p, double alpha, Coverage& coverage,
                      const std::string& what) {
    tulm::detail::CbyWorkspace work;
    const auto reference = [&work](std::span<const double> pvalues, int r,
                                   std::span<const double> harmonic, int warm_s, double level) {
        return tulm::detail::cby_check_observed(work, pvalues, r, harmonic, warm_s, level,
                                                [](int, SizeTest) {});
    };
    tulm::detail::SearchCheck exact;
    tulm::detail::SearchCheck approximate;
    EXPECT_EQ(tulm::detail::largest_cby_significant_exact_with(p, alpha, std::ref(exact)),
              tulm::detail::largest_cby_significant_exact_with(p, alpha, reference))
        << what;
    EXPECT_EQ(
        tulm::detail::largest_cby_significant_approximate_with(p, alpha, std::ref(approximate)),
        tulm::detail::largest_cby_significant_approximate_with(p, alpha, reference))
        << what;
    for (const auto* check : {&exact, &approximate}) {
        if (check->fast() != nullptr) {
            coverage.counts += check->fast()->counts();
            ++coverage.fast_searches;
        } else {
            ++coverage.reference_searches;
        }
    }
}

// A convex sequence whose increments are seen with errors up to delta: its
// minimum lies no lower than G(t*) minus what below_minimum allows, where t*
// is where the seen increments turn non-negative.
TEST(ConvexMinimum, NeverBelowTheBound) {
    std::mt19937_64 rng(37);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int sample = 0; sample < 3000; ++sample) {
        const int n = std::uniform_int_distribution<int>(1, 60)(rng);
        const double delta = sample % 3 == 0 ? 0.0 : 0.05;
        std::vector<double> increments(static_cast<std::size_t>(n));
        for (double& d : increments) {
            d = std::round(8.0 * (unit(rng) - 0.6)) / 8.0;  // flat stretches near 0
        }
        std::sort(increments.begin(), increments.end());
        std::vector<double> seen(increments);
        for (double& d : seen) {
            d += delta * (2.0 * unit(rng) - 1.0);
        }
        const auto d = [&](int t) { return seen[static_cast<std::size_t>(t)]; };
        std::vector<double> G{0.0};
        for (const double step : increments) {
            G.push_back(G.back() + step);
        }
        const int t_star = tulm::detail::first_at_least(0, n, 0.0, d);
        const double bound = G[static_cast<std::size_t>(t_star)]
                             - tulm::detail::below_minimum(0, n, t_star, delta, d);
        EXPECT_LE(bound, *std::min_element(G.begin(), G.end()) + 1e-12) << "sample " << sample;
    }
}

// The exact loops form a threshold only when its bound leaves the comparison
// open: the bound must hold for every overlap, count and level.
TEST(ThresholdBounds, HoldTheThreshold) {
    std::mt19937_64 rng(29);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int sample = 0; sample < 200000; ++sample) {
        const int r = std::uniform_int_distribution<int>(1, sample % 2 == 0 ? 50 : 2000000000)(rng);
        const int i = std::uniform_int_distribution<int>(1, r)(rng);
        const double alpha = std::pow(10.0, -100.0 + 200.0 * unit(rng));
        const double inv = 1.0 / alpha;
        const double M = (static_cast<double>(i) * inv) / static_cast<double>(r) - 1e-10;
        const auto bounds = tulm::detail::threshold_bounds(i, inv / static_cast<double>(r));
        ASSERT_LE(bounds.low, M) << "i " << i << ", r " << r << ", alpha " << alpha;
        ASSERT_GE(bounds.high, M) << "i " << i << ", r " << r << ", alpha " << alpha;
    }
}

// The reference's verdict on size s alone: the check hinted at s examines it
// first; reaching a second size means it passed.
bool reference_size_violates(const std::vector<double>& p, int r,
                             const std::vector<double>& harmonic, int s, double alpha) {
    struct SecondSize {};
    int sizes = 0;
    tulm::detail::CbyWorkspace work;
    try {
        const CbyCheckResult result = tulm::detail::cby_check_observed(
            work, p, r, harmonic, s, alpha, [&sizes](int, SizeTest) {
                if (++sizes == 2) {
                    throw SecondSize{};
                }
            });
        return !result.res && result.at_s == s;
    } catch (const SecondSize&) {
        return false;
    }
}

// Sizes on their own: the fast verdict of a size (from its enclosures when
// they decide, and from the blocked exact loops always) is the reference's.
// Small screens: every r and s; levels that are powers of two make sums meet
// their thresholds exactly, so the comparisons' equality cases are met too.
// Larger linear and mixed screens: sampled r and s, with scans long enough
// for the convexity bound.
TEST(ExaminedSize, EverySizeAsTheReference) {
    std::mt19937_64 rng(23);
    int decided = 0;
    int compared = 0;
    int convex_violations = 0;
    FastCheckCounts counts;
    std::vector<double> outside;
    std::vector<double> prefix;
    for (int screen = 0; screen < 190; ++screen) {
        const bool large = screen >= 160;
        const bool ties = !large && screen % 2 == 0;
        const double alpha =
            ties ? std::ldexp(1.0, -std::uniform_int_distribution<int>(2, 40)(rng))
                 : std::vector<double>{0.05, 0.2, 0.5}[static_cast<std::size_t>(screen) % 3];
        const int m = large ? std::uniform_int_distribution<int>(600, 1500)(rng)
                            : std::uniform_int_distribution<int>(2, 40)(rng);
        const Kind kind = large  ? (screen % 2 == 0 ? Kind::linear : Kind::mixture)
                          : ties ? Kind::boundaries
                                 : kAllKinds[static_cast<std::size_t>(screen) % kAllKinds.size()];
        const std::vector<double> p = tulm::prepare_pvalues(make_screen(kind, m, alpha, rng));
        const std::vector<double> harmonic = tulm::build_harmonic_table(m);
        const CbySearchTables tables(p, harmonic, alpha);
        if (!tables.usable()) {
            continue;
        }
        const tulm::detail::WeightRuns empty;
        std::uniform_int_distribution<int> size(2, m);
        // Large screens: r around the answer, where long scans end both ways.
        const int answer = large ? tulm::largest_cby_significant_exact(p, alpha) : 0;
        std::uniform_int_distribution<int> near(std::max(1, answer - 30), std::min(m, answer + 30));
        for (int pair = 0; pair < (large ? 400 : m * m); ++pair) {
            const int r = large ? near(rng) : 1 + pair / m;
            const int s = large ? size(rng) : 1 + pair % m;
            const int k = std::min(r, s);
            const double S = static_cast<double>(s) * harmonic[static_cast<std::size_t>(s)];
            if (s < 2 || static_cast<double>(k) * alpha >= p[static_cast<std::size_t>(m - r)] * S) {
                continue;  // the single-size or the quick test, not the detailed one
            }
            const bool violates = reference_size_violates(p, r, harmonic, s, alpha);
            const int i0 = std::max(1, s - m + r);
            const int stop = std::min(tables.beyond_cutoff(s), s - i0) - 1;
            const tulm::detail::ExaminedSize examined(tables, empty, r, s, stop, stop + 1);
            ASSERT_EQ(examined.violates_exactly(outside, prefix), violates)
                << "m " << m << ", r " << r << ", s " << s << ", alpha " << alpha;
            const std::int64_t convex_before = counts.convex;
            const auto verdict = examined.decide(counts);
            if (verdict != tulm::detail::SizeVerdict::undecided) {
                ASSERT_EQ(verdict == tulm::detail::SizeVerdict::violates, violates)
                    << "m " << m << ", r " << r << ", s " << s << ", alpha " << alpha;
                ++decided;
                convex_violations += counts.convex > convex_before && violates ? 1 : 0;
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 20000);
    EXPECT_GT(decided, compared / 2);
    EXPECT_GT(counts.convex, 100);
    EXPECT_GT(convex_violations, 10);
}

// A family of screens: a kind, sizes, levels and how the input is spoiled,
// with the reason it is there.
struct Family {
    const char* why;
    std::vector<Kind> kinds;
    int min_m;
    int max_m;
    std::vector<double> alphas;
    std::vector<Spoil> spoils;
    int screens;
};

const std::vector<Family> kFamilies{
    {"every kind at every level, small m",
     kAllKinds,
     0,
     120,
     {0.05, 0.2, 0.5, 1e-3, 1.0, 3.0, 1e-90, 1e90},
     {Spoil::none},
     420},
    {"levels the fast path refuses: the reference answers",
     kAllKinds,
     0,
     60,
     {1e-120, 1e120, kNaN, 0.0, -0.05},
     {Spoil::none},
     70},
    {"unsorted, NaN, infinite or negative p-values: the reference answers",
     kAllKinds,
     2,
     80,
     {0.05, 0.2},
     {Spoil::shuffled, Spoil::one_swap, Spoil::nan, Spoil::infinity, Spoil::negative},
     70},
    {"levels that are powers of two: sums meet thresholds exactly, no bound decides",
     {Kind::boundaries, Kind::ties},
     2,
     80,
     {0.25, 0x1p-10, 0x1p-30},
     {Spoil::none},
     120},
    {"long scans, ranges of sizes and tight sizes",
     {Kind::linear, Kind::mixture},
     800,
     2500,
     {0.05, 0.2},
     {Spoil::none},
     14},
    {"other sizes' cache entries within the reach of scans",
     {Kind::around_alpha},
     100,
     400,
     {0.05, 0.2, 0.01, 1.0},
     {Spoil::none},
     40},
};

TEST(FastCbyCheck, SameVerdictsWitnessesAndOrderAsTheReference) {
    std::mt19937_64 rng(20240917);
    Coverage coverage;
    for (const Family& family : kFamilies) {
        for (int screen = 0; screen < family.screens; ++screen) {
            const auto pick = [&](const auto& options) {
                return options[std::uniform_int_distribution<std::size_t>(0,
                                                                          options.size() - 1)(rng)];
            };
            const Kind kind = pick(family.kinds);
            const double alpha = pick(family.alphas);
            const int m = std::uniform_int_distribution<int>(family.min_m, family.max_m)(rng);
            std::vector<double> p = make_screen(kind, m, alpha, rng);
            spoil(p, pick(family.spoils), rng);
            const std::string what = std::string(family.why) + ": "
                                     + kKindNames[static_cast<int>(kind)] + ", m "
                                     + std::to_string(m) + ", alpha " + std::to_string(alpha)
                                     + ", screen " + std::to_string(screen);
            compare_searches(p, alpha, coverage, what);
            compare_checks(tulm::prepare_pvalues(p), alpha, rng, coverage, what);
            if (HasFailure()) {
                return;
            }
        }
    }
    // Every route of the fast check was taken, or the comparison proves less
    // than it seems.
    const FastCheckCounts& c = coverage.counts;
    std::cout << "routes: stepped " << c.stepped << ", convex " << c.convex << ", in range "
              << c.in_range << " (" << c.range_proofs << " of " << c.range_tries
              << " ranges proven), windows " << c.windows << " (" << c.by_window
              << " decided), exact " << c.exact << ", cut short " << c.cut_short << "; "
              << coverage.checks_compared << " checks, " << coverage.fast_searches << " fast and "
              << coverage.reference_searches << " reference searches\n";
    EXPECT_GT(coverage.fast_searches, 300);
    EXPECT_GT(coverage.reference_searches, 200);
    EXPECT_GT(c.stepped, 0);
    EXPECT_GT(c.convex, 0);
    EXPECT_GT(c.in_range, 0);
    EXPECT_GT(c.range_proofs, 0);
    EXPECT_GT(c.by_window, 0);
    EXPECT_GT(c.cut_short, 0);
}

// The searches pass one set of arguments to all their checks; a caller that
// passes others must not get answers from the first set's tables.
TEST(SearchCheck, NewArgumentsGetNewTables) {
    std::mt19937_64 rng(41);
    tulm::detail::SearchCheck check;
    for (int screen = 0; screen < 6; ++screen) {
        const int m = 200;
        const double alpha = screen % 2 == 0 ? 0.05 : 0.2;
        const std::vector<double> p =
            tulm::prepare_pvalues(make_screen(Kind::mixture, m, alpha, rng));
        const std::vector<double> harmonic = tulm::build_harmonic_table(m);
        for (const int r : {m, m / 2, 20}) {
            const Verdict expected = reference_check(p, r, harmonic, 0, alpha);
            const CbyCheckResult result = check(p, r, harmonic, 0, alpha);
            EXPECT_EQ(result.res, expected.result.res) << "screen " << screen << ", r " << r;
            EXPECT_EQ(result.at_s, expected.result.at_s) << "screen " << screen << ", r " << r;
        }
    }
}

// r equal candidates whose step at size m is exactly r, and the p-values
// outside beyond the cut-off: with the hint m, the check first sums r copies
// of fl(inv / r) in order against the threshold inv (a power of two swallows
// the 1e-10), with nothing outside to spare. The sum meets it only up to the
// last bits, so no enclosure decides; the check's own loops must, as the
// reference.
TEST(FastCbyCheck, TiesAtTheLastBitGoToTheChecksLoops) {
    std::mt19937_64 rng(31);
    FastCheckCounts counts;
    int compared = 0;
    for (int screen = 0; screen < 60; ++screen) {
        const int m = std::uniform_int_distribution<int>(60, 300)(rng);
        const int r = std::uniform_int_distribution<int>(40, m)(rng);
        const double alpha = 0x1p-30;
        const std::vector<double> harmonic = tulm::build_harmonic_table(m);
        const double x = r * alpha / (m * harmonic[static_cast<std::size_t>(m)]) * (1.0 + 0x1p-50);
        std::vector<double> p(static_cast<std::size_t>(m), 0.9);
        std::fill(p.end() - r, p.end(), x);
        const CbySearchTables tables(p, harmonic, alpha);
        ASSERT_TRUE(tables.usable());
        FastCbyCheck fast(tables);
        for (const int warm_s : {m, 0}) {
            ASSERT_EQ(fast_check(fast, r, warm_s), reference_check(p, r, harmonic, warm_s, alpha))
                << "m " << m << ", r " << r << ", warm_s " << warm_s;
            ++compared;
        }
        counts += fast.counts();
    }
    EXPECT_EQ(compared, 120);
    EXPECT_GT(counts.exact, 0);
}

}  // namespace
