#include "bindings.hpp"
#include "tulm/evalue.hpp"
#include "tulm/interrupt.hpp"

namespace tulm::binding {

namespace {

// The adapters: each checks what its kernel must not see (the lengths are
// checked as the arguments are converted), then runs it without the GIL.

// The search switch behind closede_bh_cpp and largest_mean_consistent_k.
int closed_ebh(const FloatSequence<kMaxLengthWithOneMore>& evalues, double alpha,
               bool approximate) {
    return call_without_gil([&](Interrupt interrupt) {
        return approximate ? largest_mean_consistent_approximate(evalues.values(), alpha, interrupt)
                           : largest_mean_consistent_exact(evalues.values(), alpha, interrupt);
    });
}

bool subset_mean_consistent(const FloatSequence<kMaxLengthWithOneMore>& evalues,
                            const IntSequence<>& subset, double alpha) {
    return call_without_gil([&](Interrupt interrupt) {
        return is_subset_mean_consistent(evalues.values(), subset.values(), alpha, interrupt);
    });
}

int closed_ebh_exact(const FloatSequence<kMaxLengthWithOneMore>& evalues, double alpha) {
    return call_without_gil([&](Interrupt interrupt) {
        return largest_mean_consistent_exact(evalues.values(), alpha, interrupt);
    });
}

int closed_ebh_approximate(const FloatSequence<kMaxLengthWithOneMore>& evalues, double alpha) {
    return call_without_gil([&](Interrupt interrupt) {
        return largest_mean_consistent_approximate(evalues.values(), alpha, interrupt);
    });
}

int ebh(const FloatSequence<>& evalues, double alpha) {
    return call_without_gil(
        [&](Interrupt interrupt) { return ebh_count(evalues.values(), alpha, interrupt); });
}

bool mean_consistent(const FloatSequence<>& cum_e, int r, double alpha) {
    require_non_negative("r", r);
    return call_without_gil([&](Interrupt interrupt) {
        return mean_consistency_check(cum_e.values(), r, alpha, -1, -1, interrupt).consistent;
    });
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
