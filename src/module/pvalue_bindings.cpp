#include <vector>

#include "bindings.hpp"
#include "tulm/pvalue.hpp"

namespace tulm::binding {

namespace {

// The adapters: each refuses what its kernel must not see, then runs it.

int by(const std::vector<double>& pvalues, const std::vector<double>& harmonic, double alpha) {
    require_length_at_most(pvalues.size(), kMaxLength);
    require_length_at_most(harmonic.size(), kMaxLength);
    const int m = static_cast<int>(pvalues.size());
    if (m > 0) {
        require_harmonic_entries(harmonic.size(), m);
    }
    return by_count(pvalues, harmonic, alpha);
}

int closed_by_exact(const std::vector<double>& pvalues, double alpha) {
    require_length_at_most(pvalues.size(), kMaxLengthWithOneMore);
    return largest_cby_significant_exact(pvalues, alpha);
}

int closed_by_approximate(const std::vector<double>& pvalues, double alpha) {
    require_length_at_most(pvalues.size(), kMaxLengthWithOneMore);
    return largest_cby_significant_approximate(pvalues, alpha);
}

// r = 0 passes without looking at the other arguments, so they are checked
// only when the check will read them.
py::dict cby_check_dict(const std::vector<double>& pvalues, int r,
                        const std::vector<double>& harmonic, int warm_s, double alpha) {
    require_length_at_most(pvalues.size(), kMaxLength);
    require_length_at_most(harmonic.size(), kMaxLength);
    const int m = static_cast<int>(pvalues.size());
    require_size_within("r", r, m);
    if (r > 0) {
        require_size_within("warm_s", warm_s, m);
        require_harmonic_entries(harmonic.size(), m);
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
    m.def("BY_cpp", by,
          py::arg("pvalues"), py::arg("harmonic"), py::arg("alpha"));
    m.def("largestcBYsignificant_cpp", closed_by_exact,
          py::arg("pvalues"), py::arg("alpha"));
    m.def("largestcBYsignificant_approximate_cpp", closed_by_approximate,
          py::arg("pvalues"), py::arg("alpha"));
    m.def("cBY_check_cpp", cby_check_dict,
          py::arg("pvalues"), py::arg("r"), py::arg("harmonic"), py::arg("warm_s"), py::arg("alpha"));
}
// clang-format on

}  // namespace tulm::binding
