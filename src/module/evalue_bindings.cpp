#include "bindings.hpp"
#include "tulm/evalue.hpp"

namespace tulm::binding {

void register_evalue(py::module_& m) {
    m.def("eBH_cpp", guarded<ebh_count>, py::arg("evalues"), py::arg("alpha"));
}

}  // namespace tulm::binding
