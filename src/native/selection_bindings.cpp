#include <pybind11/numpy.h>

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "bindings.hpp"
#include "selection/candidates.hpp"

namespace tulm::native {

namespace {

// The package passes contiguous float64 views of its arrays, read in place;
// pybind11 would convert anything else into a copy.
using Values = py::array_t<double, py::array::c_style>;

Values select_candidates(const Values& values, double bound, bool below) {
    if (values.ndim() != 1) {
        throw py::value_error("values must be one-dimensional");
    }
    const std::span<const double> view(values.data(), static_cast<std::size_t>(values.size()));
    std::vector<double> candidates;
    {
        const py::gil_scoped_release release;
        selection::select_candidates(view, bound, below, candidates);
    }
    Values found(static_cast<py::ssize_t>(candidates.size()));
    std::copy(candidates.begin(), candidates.end(), found.mutable_data());
    return found;
}

}  // namespace

void register_selection(py::module_& m) {
    m.def("select_candidates", &select_candidates, py::arg("values"), py::arg("bound"),
          py::arg("below"),
          "The values at or below `bound` (`below`) or at or above it, in no particular "
          "order and without NaN; the GIL is released meanwhile.");
}

}  // namespace tulm::native
