// Helper of bench/cby_screens.py, on a screen stored as raw float64 values:
//   cby_screen_tool routes FILE ALPHA
//       both searches through the fast check; prints their answers and how
//       the check decided its sizes, as JSON
//   cby_screen_tool reference FILE ALPHA exact|approximate
//       one search through the reference check (one shared workspace, as the
//       searches ran it before the fast check); prints answer and seconds
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "pvalue/cby_check.hpp"
#include "pvalue/cby_search.hpp"
#include "pvalue/fast/fast_check.hpp"

namespace {

std::vector<double> read_screen(const char* path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    const auto bytes = static_cast<std::size_t>(in.tellg());
    std::vector<double> values(bytes / sizeof(double));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(bytes));
    return values;
}

void print_counts(const char* name, int answer, const tulm::detail::SearchCheck& check) {
    tulm::detail::FastCheckCounts c{};
    if (check.fast() != nullptr) {
        c = check.fast()->counts();
    }
    std::printf(
        "\"%s\": {\"answer\": %d, \"fast\": %s, \"checks\": %lld, \"detailed\": %lld, "
        "\"stepped\": %lld, \"convex\": %lld, \"in_range\": %lld, \"range_tries\": %lld, "
        "\"range_proofs\": %lld, \"windows\": %lld, \"by_window\": %lld, \"exact\": %lld, "
        "\"cut_short\": %lld}",
        name, answer, check.fast() != nullptr ? "true" : "false", static_cast<long long>(c.checks),
        static_cast<long long>(c.detailed), static_cast<long long>(c.stepped),
        static_cast<long long>(c.convex), static_cast<long long>(c.in_range),
        static_cast<long long>(c.range_tries), static_cast<long long>(c.range_proofs),
        static_cast<long long>(c.windows), static_cast<long long>(c.by_window),
        static_cast<long long>(c.exact), static_cast<long long>(c.cut_short));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s routes|reference FILE ALPHA [exact|approximate]\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const std::vector<double> pvalues = read_screen(argv[2]);
    const double alpha = std::strtod(argv[3], nullptr);
    if (mode == "routes") {
        tulm::detail::SearchCheck exact;
        tulm::detail::SearchCheck approximate;
        const int exact_answer =
            tulm::detail::largest_cby_significant_exact_with(pvalues, alpha, std::ref(exact));
        const int approximate_answer = tulm::detail::largest_cby_significant_approximate_with(
            pvalues, alpha, std::ref(approximate));
        std::printf("{");
        print_counts("exact", exact_answer, exact);
        std::printf(", ");
        print_counts("approximate", approximate_answer, approximate);
        std::printf("}\n");
        return 0;
    }
    if (mode == "reference" && argc == 5) {
        tulm::detail::CbyWorkspace work;
        const auto check = [&work](std::span<const double> p, int r,
                                   std::span<const double> harmonic, int warm_s, double level) {
            return tulm::detail::cby_check_observed(work, p, r, harmonic, warm_s, level,
                                                    [](int, tulm::detail::SizeTest) {});
        };
        const auto start = std::chrono::steady_clock::now();
        const int answer =
            std::string(argv[4]) == "exact"
                ? tulm::detail::largest_cby_significant_exact_with(pvalues, alpha, check)
                : tulm::detail::largest_cby_significant_approximate_with(pvalues, alpha, check);
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        std::printf("{\"answer\": %d, \"seconds\": %.6f}\n", answer, seconds.count());
        return 0;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
