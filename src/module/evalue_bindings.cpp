#include <vector>

#include "bindings.hpp"
#include "tulm/evalue.hpp"

namespace tulm::binding {

namespace {

// The adapters: each refuses what its kernel must not see, then runs it.

// The search switch behind closede_bh_cpp and largest_mean_consistent_k.
int closed_ebh(const std::vector<double>& evalues, double alpha, bool approximate) {
    require_length_at_most(evalues.size(), kMaxLengthWithOneMore);
    return approximate ? largest_mean_consistent_approximate(evalues, alpha)
                       : largest_mean_consistent_exact(evalues, alpha);
}

bool subset_mean_consistent(const std::vector<double>& evalues, const std::vector<int>& subset,
                            double alpha) {
    require_length_at_most(evalues.size(), kMaxLengthWithOneMore);
    require_length_at_most(subset.size(), kMaxLength);
    return is_subset_mean_consistent(evalues, subset, alpha);
}

int closed_ebh_exact(const std::vector<double>& evalues, double alpha) {
    require_length_at_most(evalues.size(), kMaxLengthWithOneMore);
    return largest_mean_consistent_exact(evalues, alpha);
}

int closed_ebh_approximate(const std::vector<double>& evalues, double alpha) {
    require_length_at_most(evalues.size(), kMaxLengthWithOneMore);
    return largest_mean_consistent_approximate(evalues, alpha);
}

int ebh(const std::vector<double>& evalues, double alpha) {
    require_length_at_most(evalues.size(), kMaxLength);
    return ebh_count(evalues, alpha);
}

bool mean_consistent(const std::vector<double>& cum_e, int r, double alpha) {
    require_length_at_most(cum_e.size(), kMaxLength);
    require_non_negative("r", r);
    return mean_consistency_check(cum_e, r, alpha, -1, -1).consistent;
}

}  // namespace

// The table of the API: one line per function, arguments as Python sees them.
// clang-format off
void register_evalue(py::module_& m) {
    m.def("closede_bh_cpp", closed_ebh,
          py::arg("evalues"), py::arg("alpha") = 0.05, py::arg("approximate") = false);
    m.def("largest_mean_consistent_k", closed_ebh,
          py::arg("evalues"), py::arg("alpha") = 0.05, py::arg("approximate") = false);
    m.def("is_subset_mean_consistent", subset_mean_consistent,
          py::arg("evalues"), py::arg("subset"), py::arg("alpha") = 0.05);
    m.def("largestmeanconsistent_cpp", closed_ebh_exact,
          py::arg("evalues"), py::arg("alpha"));
    m.def("largestmeanconsistent_approximate_cpp", closed_ebh_approximate,
          py::arg("evalues"), py::arg("alpha"));
    m.def("eBH_cpp", ebh,
          py::arg("evalues"), py::arg("alpha"));
    m.def("meanconsistent_wrapper_cpp", mean_consistent,
          py::arg("cum_e"), py::arg("r"), py::arg("alpha"));
}
// clang-format on

}  // namespace tulm::binding
