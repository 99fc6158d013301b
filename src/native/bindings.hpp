// The package's own extension, tulm._native: entry points the package needs
// beyond the kernels' fixed table of _tulm, over the same kernel library.
#pragma once

#include <pybind11/pybind11.h>

namespace tulm::native {

namespace py = pybind11;

void register_levels(py::module_& m);
void register_selection(py::module_& m);

}  // namespace tulm::native
