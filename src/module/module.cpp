#include "bindings.hpp"

PYBIND11_MODULE(_tulm, m) {
    m.doc() = "Pybind11 bindings for the Varnoc C++ routines";
    tulm::binding::register_evalue(m);
    tulm::binding::register_pvalue(m);
}
