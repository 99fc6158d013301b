#include <pybind11/numpy.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bindings.hpp"
#include "module/kernel_call.hpp"
#include "tulm/interrupt.hpp"
#include "tulm/levels.hpp"

namespace tulm::native {

namespace {

using Values = py::array_t<double, py::array::c_style>;

// A Python callable told (done, total) now and then, with the GIL taken for
// the call. An exception it raises stops the computation and propagates.
struct ProgressCallback {
    py::object callable;

    static void report(void* context, std::int64_t done, std::int64_t total) {
        const py::gil_scoped_acquire gil;
        try {
            static_cast<ProgressCallback*>(context)->callable(done, total);
        } catch (py::error_already_set& error) {
            error.restore();  // raised again once the kernel has unwound
            throw Interrupted();
        }
    }
};

// levels(values, interrupt, progress) on a one-dimensional array read in
// place, without the GIL; a new array of the levels.
template <typename Levels>
Values levels_of(const Values& values, const py::object& progress, Levels&& levels) {
    if (values.ndim() != 1) {
        throw py::value_error("values must be one-dimensional");
    }
    const std::span<const double> view(values.data(), static_cast<std::size_t>(values.size()));
    ProgressCallback callback{progress};
    const Progress hook =
        progress.is_none() ? Progress{} : Progress{&ProgressCallback::report, &callback};
    const std::vector<double> found = binding::call_without_gil(
        [&](Interrupt interrupt) { return levels(view, interrupt, hook); });
    Values result(static_cast<py::ssize_t>(found.size()));
    std::copy(found.begin(), found.end(), result.mutable_data());
    return result;
}

Values closed_ebh(const Values& evalues, const py::object& progress) {
    return levels_of(evalues, progress, [](auto view, Interrupt interrupt, Progress hook) {
        return closed_ebh_levels(view, interrupt, hook);
    });
}

Values closed_by(const Values& pvalues, const py::object& progress) {
    return levels_of(pvalues, progress, [](auto view, Interrupt interrupt, Progress hook) {
        return closed_by_levels(view, interrupt, hook);
    });
}

}  // namespace

void register_levels(py::module_& m) {
    m.def("closed_ebh_levels", &closed_ebh, py::arg("evalues"), py::arg("progress") = py::none(),
          "Adjusted levels of closed e-BH for e-values sorted ascending, aligned with them; "
          "progress(done, total) is called now and then.");
    m.def("closed_by_levels", &closed_by, py::arg("pvalues"), py::arg("progress") = py::none(),
          "Adjusted levels of closed BY for p-values sorted descending, aligned with them; "
          "progress(done, total) is called now and then.");
}

}  // namespace tulm::native
