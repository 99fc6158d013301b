#include "bindings.hpp"

namespace tulm::binding {

void register_pvalue(py::module_& /*m*/) {}

}  // namespace tulm::binding
