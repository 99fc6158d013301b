// The AVX2 scans of the e-BH and BY counts against the plain loops and a
// reference written here, on random input of every kind.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "count_scans.hpp"
#include "cpu_features.hpp"
#include "interrupt_poll.hpp"
#include "tulm/evalue.hpp"
#include "tulm/pvalue.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

int reference_ebh(const std::vector<double>& e, double alpha) {
    const int m = static_cast<int>(e.size());
    const double scale = alpha / static_cast<double>(m);
    for (int k = m; k >= 1; --k) {
        if ((static_cast<double>(k) * e[static_cast<std::size_t>(m - k)]) * scale
            >= 1.000000000001) {
            return k;
        }
    }
    return 0;
}

int reference_by(const std::vector<double>& p, double factor, double alpha) {
    const int m = static_cast<int>(p.size());
    for (int k = m; k >= 1; --k) {
        if ((factor * p[static_cast<std::size_t>(m - k)]) / static_cast<double>(k) - alpha
            <= 1e-10) {
            return k;
        }
    }
    return 0;
}

// Lengths around the block size, values that sit near the thresholds or are
// special, in sorted and in arbitrary order.
class RandomScans {
public:
    explicit RandomScans(double typical) : typical_(typical) {}

    std::vector<double> next(bool descending) {
        const int m = length_(rng_) == 0 ? big_(rng_) : small_(rng_);
        std::vector<double> values(static_cast<std::size_t>(m));
        for (double& x : values) {
            x = special_(rng_) ? kSpecials[pick_(rng_)] : typical_ * spread_(rng_);
        }
        if (sorted_(rng_)) {
            std::sort(values.begin(), values.end(), [&](double a, double b) {
                return descending ? b < a : a < b;  // NaN stay where the sort leaves them
            });
        }
        return values;
    }
    double alpha() { return kAlphas[alpha_(rng_)]; }

private:
    static constexpr std::array<double, 11> kSpecials{0.0,    -0.0,  kNaN, kInf, -kInf, 5e-324,
                                                      1e-300, 1e300, 1.0,  0.05, 20.0};
    static constexpr std::array<double, 8> kAlphas{0.05, 0.2, 1.0, 1e-300, 1e300, 0.0, -0.05, kNaN};
    double typical_;
    std::mt19937_64 rng_{20261208};
    std::uniform_int_distribution<int> length_{0, 9};
    std::uniform_int_distribution<int> small_{0, 13};
    std::uniform_int_distribution<int> big_{14, 3000};
    std::bernoulli_distribution special_{0.05};
    std::bernoulli_distribution sorted_{0.7};
    std::uniform_int_distribution<std::size_t> pick_{0, kSpecials.size() - 1};
    std::uniform_int_distribution<std::size_t> alpha_{0, kAlphas.size() - 1};
    std::lognormal_distribution<double> spread_{0.0, 2.0};
};

TEST(CountScans, EbhVariantsAgreeWithTheReference) {
    RandomScans scans(5.0);
    for (int trial = 0; trial < 20000; ++trial) {
        const std::vector<double> e = scans.next(false);
        const double alpha = scans.alpha();
        const int expected = reference_ebh(e, alpha);
        ASSERT_EQ(tulm::detail::ebh_scan_plain(e, alpha, 0, e.size()), expected)
            << "trial " << trial;
        if (tulm::detail::cpu_has_avx2()) {
            ASSERT_EQ(tulm::detail::ebh_scan_avx2(e, alpha, 0, e.size()), expected)
                << "trial " << trial;
        }
    }
}

TEST(CountScans, ByVariantsAgreeWithTheReference) {
    RandomScans scans(0.01);
    for (int trial = 0; trial < 20000; ++trial) {
        const std::vector<double> p = scans.next(true);
        const double alpha = scans.alpha();
        double harmonic = 0.0;
        for (std::size_t i = 1; i <= p.size(); ++i) {
            harmonic += 1.0 / static_cast<double>(i);
        }
        const double factor = static_cast<double>(p.size()) * harmonic;
        const int expected = reference_by(p, factor, alpha);
        ASSERT_EQ(tulm::detail::by_scan_plain(p, factor, alpha, 0, p.size()), expected)
            << "trial " << trial;
        if (tulm::detail::cpu_has_avx2()) {
            ASSERT_EQ(tulm::detail::by_scan_avx2(p, factor, alpha, 0, p.size()), expected)
                << "trial " << trial;
        }
    }
}

// Every p-value within a few ulps of where its size starts to pass, so that
// the AVX2 scan's shortcut for blocks that fail by far is tried at its edge.
TEST(CountScans, ByAtTheThresholdOfEverySize) {
    std::mt19937_64 rng(20261209);
    std::uniform_int_distribution<int> length(4, 64);
    std::uniform_int_distribution<int> ulps(-40, 40);
    const std::array<double, 6> alphas{0.05, 0.2, 1.0, 1e-300, 1e-5, 1e300};
    std::uniform_int_distribution<std::size_t> pick(0, alphas.size() - 1);
    int passing = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        const int m = length(rng);
        const double alpha = alphas[pick(rng)];
        double harmonic = 0.0;
        for (int i = 1; i <= m; ++i) {
            harmonic += 1.0 / static_cast<double>(i);
        }
        const double factor = static_cast<double>(m) * harmonic;
        std::vector<double> p(static_cast<std::size_t>(m));
        for (int i = 0; i < m; ++i) {
            double x = (alpha + 1e-10) * static_cast<double>(m - i) / factor;
            for (int step = ulps(rng); step != 0; step += step > 0 ? -1 : 1) {
                x = std::nextafter(x, step > 0 ? kInf : 0.0);
            }
            p[static_cast<std::size_t>(i)] = x;
        }
        const int expected = reference_by(p, factor, alpha);
        passing += expected > 0 ? 1 : 0;
        ASSERT_EQ(tulm::detail::by_scan_plain(p, factor, alpha, 0, p.size()), expected)
            << "trial " << trial;
        if (tulm::detail::cpu_has_avx2()) {
            ASSERT_EQ(tulm::detail::by_scan_avx2(p, factor, alpha, 0, p.size()), expected)
                << "trial " << trial;
        }
    }
    EXPECT_GT(passing, 1000);
}

// The counts scan a chunk at a time between polls: the first passing size
// must come out wherever it lies relative to the chunks and the AVX2 blocks.
class CountsAcrossChunks : public testing::TestWithParam<std::size_t> {};

TEST_P(CountsAcrossChunks, FindTheFirstPassingPosition) {
    const std::size_t m = 3 * tulm::detail::kPassChunk + 5;
    const std::size_t position = GetParam();
    std::vector<double> e(m, 0.0);
    std::vector<double> p(m, 1.0);
    std::fill(e.begin() + static_cast<std::ptrdiff_t>(std::min(position, m)), e.end(), 1e300);
    std::fill(p.begin() + static_cast<std::ptrdiff_t>(std::min(position, m)), p.end(), 1e-300);
    const std::vector<double> harmonic = tulm::build_harmonic_table(static_cast<int>(m));
    EXPECT_EQ(tulm::ebh_count(e, 0.05), reference_ebh(e, 0.05));
    EXPECT_EQ(tulm::by_count(p, harmonic, 0.05), reference_by(p, m * harmonic[m], 0.05));
    EXPECT_EQ(tulm::ebh_count(e, 0.05), position < m ? static_cast<int>(m - position) : 0);
}

INSTANTIATE_TEST_SUITE_P(Positions, CountsAcrossChunks,
                         testing::Values(0, 3, tulm::detail::kPassChunk - 1,
                                         tulm::detail::kPassChunk, tulm::detail::kPassChunk + 1,
                                         2 * tulm::detail::kPassChunk + 2,
                                         3 * tulm::detail::kPassChunk + 4,
                                         3 * tulm::detail::kPassChunk + 5),
                         [](const testing::TestParamInfo<std::size_t>& param) {
                             return "at_" + std::to_string(param.param);
                         });

}  // namespace
