#include "bindings.hpp"
#include "tulm/evalue.hpp"

namespace tulm::binding {

namespace {

// The search switch behind closede_bh_cpp and largest_mean_consistent_k.
int closed_ebh(const std::vector<double>& evalues, double alpha, bool approximate) {
    require_fits(evalues, kMaxLengthPlusOne);
    return approximate ? largest_mean_consistent_approximate(evalues, alpha)
                       : largest_mean_consistent_exact(evalues, alpha);
}

// The subset test, on a layout of m + 1 prefix sums.
bool subset_mean_consistent(const std::vector<double>& evalues, const std::vector<int>& subset,
                            double alpha) {
    require_fits(evalues, kMaxLengthPlusOne);
    require_fits(subset, kMaxLength);
    return is_subset_mean_consistent(evalues, subset, alpha);
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
    m.def("largestmeanconsistent_cpp", guarded<largest_mean_consistent_exact, kMaxLengthPlusOne>,
          py::arg("evalues"), py::arg("alpha"));
    m.def("largestmeanconsistent_approximate_cpp",
          guarded<largest_mean_consistent_approximate, kMaxLengthPlusOne>,
          py::arg("evalues"), py::arg("alpha"));
    m.def("eBH_cpp", guarded<ebh_count>, py::arg("evalues"), py::arg("alpha"));
    m.def("meanconsistent_wrapper_cpp", guarded<mean_consistent>,
          py::arg("cum_e"), py::arg("r"), py::arg("alpha"));
}
// clang-format on

}  // namespace tulm::binding
