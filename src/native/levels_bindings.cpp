#include "bindings.hpp"

namespace tulm::native {

void register_levels(py::module_& /*m*/) {}

}  // namespace tulm::native
