#include "bindings.hpp"
#include "tulm/interrupt.hpp"
#include "tulm/pvalue.hpp"

namespace tulm::binding {

namespace {

// The adapters: each checks what its kernel must not see (the lengths are
// checked as the arguments are converted), then runs it without the GIL.

int by(const FloatSequence<>& pvalues, const FloatSequence<>& harmonic, double alpha) {
    const int m = static_cast<int>(pvalues.size());
    if (m > 0) {
        require_harmonic_entries(harmonic.size(), m);
    }
    return call_without_gil([&](Interrupt interrupt) {
        return by_count(pvalues.values(), harmonic.values(), alpha, interrupt);
    });
}

int closed_by_exact(const FloatSequence<kMaxLengthWithOneMore>& pvalues, double alpha) {
    return call_without_gil([&](Interrupt interrupt) {
        return largest_cby_significant_exact(pvalues.values(), alpha, interrupt);
    });
}

int closed_by_approximate(const FloatSequence<kMaxLengthWithOneMore>& pvalues, double alpha) {
    return call_without_gil([&](Interrupt interrupt) {
        return largest_cby_significant_approximate(pvalues.values(), alpha, interrupt);
    });
}

// r = 0 passes without looking at the other arguments, so they are checked
// only when the check will read them.
py::dict cby_check_dict(const FloatSequence<>& pvalues, int r, const FloatSequence<>& harmonic,
                        int warm_s, double alpha) {
    const int m = static_cast<int>(pvalues.size());
    require_size_within("r", r, m);
    if (r > 0) {
        require_size_within("warm_s", warm_s, m);
        require_harmonic_entries(harmonic.size(), m);
    }
    const CbyCheckResult result = call_without_gil([&](Interrupt interrupt) {
        return cby_check(pvalues.values(), r, harmonic.values(), warm_s, alpha, interrupt);
    });
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
