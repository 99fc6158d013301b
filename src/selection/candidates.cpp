#include "selection/candidates.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace tulm::selection {

namespace {

// Values per block, picked into buffers that stay in cache.
constexpr std::size_t kBlock = 2048;

template <bool Below>
std::size_t is_candidate(double value, double bound) {
    return static_cast<std::size_t>(Below ? value <= bound : value >= bound);
}

// The candidates of a block go to four buffers, each with its own count in
// a register: with a single count every store would wait for the previous
// comparison. Every value is stored and only candidates advance their
// buffer's count, so the loop does not branch on the data.
template <bool Below>
void select(std::span<const double> values, double bound, std::vector<double>& candidates) {
    std::array<std::array<double, kBlock>, 4> picked{};
    for (std::size_t start = 0; start < values.size(); start += kBlock) {
        const auto block = values.subspan(start, std::min(kBlock, values.size() - start));
        std::size_t a = 0;
        std::size_t b = 0;
        std::size_t c = 0;
        std::size_t d = 0;
        std::size_t i = 0;
        for (; i + 4 <= block.size(); i += 4) {
            const double w = block[i];
            const double x = block[i + 1];
            const double y = block[i + 2];
            const double z = block[i + 3];
            picked[0][a] = w;
            a += is_candidate<Below>(w, bound);
            picked[1][b] = x;
            b += is_candidate<Below>(x, bound);
            picked[2][c] = y;
            c += is_candidate<Below>(y, bound);
            picked[3][d] = z;
            d += is_candidate<Below>(z, bound);
        }
        for (; i < block.size(); ++i) {
            picked[0][a] = block[i];
            a += is_candidate<Below>(block[i], bound);
        }
        const std::array<std::size_t, 4> counts{a, b, c, d};
        for (std::size_t buffer = 0; buffer < picked.size(); ++buffer) {
            candidates.insert(candidates.end(), picked[buffer].begin(),
                              picked[buffer].begin() + static_cast<std::ptrdiff_t>(counts[buffer]));
        }
    }
}

}  // namespace

void select_candidates(std::span<const double> values, double bound, bool below,
                       std::vector<double>& candidates) {
    if (below) {
        select<true>(values, bound, candidates);
    } else {
        select<false>(values, bound, candidates);
    }
}

}  // namespace tulm::selection
