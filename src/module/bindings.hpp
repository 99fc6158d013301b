// The one pybind11 include of the project: every binding file sees the same
// casters. Argument conversion is pybind11's standard one, conversion allowed.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include "sequence_arguments.hpp"

#include "argument_checks.hpp"
#include "kernel_call.hpp"

namespace tulm::binding {

namespace py = pybind11;

// Each family adds its functions to the module in the order of the API table.
void register_evalue(py::module_& m);
void register_pvalue(py::module_& m);

}  // namespace tulm::binding
