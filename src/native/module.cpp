#include "bindings.hpp"

PYBIND11_MODULE(_native, m) {
    m.doc() = "The tulm package's own entry points into the kernel library";
    tulm::native::register_levels(m);
    tulm::native::register_selection(m);
}
