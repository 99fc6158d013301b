#include "bindings.hpp"

namespace tulm::native {

void register_selection(py::module_& /*m*/) {}

}  // namespace tulm::native
