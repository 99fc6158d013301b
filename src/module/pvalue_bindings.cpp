#include <cstddef>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "tulm/pvalue.hpp"

namespace tulm::binding {

namespace {

// The kernels read harmonic[m] without looking at its length.
void require_harmonic_entries(const std::vector<double>& harmonic, int m) {
    const std::size_t needed = static_cast<std::size_t>(m) + 1;
    if (harmonic.size() < needed) {
        throw py::value_error("harmonic must hold at least m + 1 = " + std::to_string(needed)
                              + " entries, got " + std::to_string(harmonic.size()));
    }
}

void require_size(const char* name, int value, int m) {
    if (value < 0 || value > m) {
        throw py::value_error(std::string(name) + " must lie in 0 ... m = " + std::to_string(m)
                              + ", got " + std::to_string(value));
    }
}

int by_count_checked(const std::vector<double>& pvalues, const std::vector<double>& harmonic,
                     double alpha) {
    require_fits(pvalues, kMaxLength);
    const int m = static_cast<int>(pvalues.size());
    if (m > 0) {
        require_harmonic_entries(harmonic, m);
    }
    return by_count(pvalues, harmonic, alpha);
}

// Refuses, before the check runs, any argument that would make it read past
// the vectors; r = 0 passes without looking at the others.
py::dict cby_check_dict(const std::vector<double>& pvalues, int r,
                        const std::vector<double>& harmonic, int warm_s, double alpha) {
    require_fits(pvalues, kMaxLength);
    const int m = static_cast<int>(pvalues.size());
    require_size("r", r, m);
    if (r > 0) {
        require_size("warm_s", warm_s, m);
        require_harmonic_entries(harmonic, m);
    }
    const CbyCheckResult result = cby_check(pvalues, r, harmonic, warm_s, alpha);
    py::dict verdict;
    verdict["res"] = py::bool_(result.res);
    verdict["at_s"] = py::int_(result.at_s);
    return verdict;
}

}  // namespace

// The table of the API: one line per function, arguments as Python sees them.
// clang-format off
void register_pvalue(py::module_& m) {
    m.def("BY_cpp", by_count_checked,
          py::arg("pvalues"), py::arg("harmonic"), py::arg("alpha"));
    m.def("largestcBYsignificant_cpp", guarded<largest_cby_significant_exact, kMaxLengthPlusOne>,
          py::arg("pvalues"), py::arg("alpha"));
    m.def("largestcBYsignificant_approximate_cpp",
          guarded<largest_cby_significant_approximate, kMaxLengthPlusOne>,
          py::arg("pvalues"), py::arg("alpha"));
    m.def("cBY_check_cpp", cby_check_dict,
          py::arg("pvalues"), py::arg("r"), py::arg("harmonic"), py::arg("warm_s"), py::arg("alpha"));
}
// clang-format on

}  // namespace tulm::binding
