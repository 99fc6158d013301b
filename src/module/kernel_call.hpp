// How the adapters run a kernel: without the GIL, so that other Python
// threads run meanwhile, and stoppable by Ctrl-C. The arguments were
// converted before; numpy arrays are read in place, so another thread must
// not write them during the call (as with numpy's own functions).
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "tulm/interrupt.hpp"

namespace tulm::binding {

namespace py = pybind11;

// Only the main thread runs Python's signal handlers, so only its kernels
// need to ask: a hook on another thread would contend for the GIL for nothing.
inline bool on_main_thread() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<unsigned long> main_thread;
    const unsigned long main_ident = main_thread
                                         .call_once_and_store_result([] {
                                             return py::module_::import("threading")
                                                 .attr("main_thread")()
                                                 .attr("ident")
                                                 .cast<unsigned long>();
                                         })
                                         .get_stored();
    return PyThread_get_thread_ident() == main_ident;
}

// The kernel's hook: takes the GIL for a moment and runs the signal
// handlers; the KeyboardInterrupt a handler raises stays pending.
inline bool python_signal_raised(void* /*context*/) {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return raised;
}

// kernel(Interrupt) with the GIL released; an interrupted kernel raises the
// pending Python error (KeyboardInterrupt) once the GIL is back.
template <typename Kernel>
auto call_without_gil(Kernel&& kernel) -> decltype(kernel(Interrupt{})) {
    const Interrupt interrupt =
        on_main_thread() ? Interrupt{python_signal_raised, nullptr} : Interrupt{};
    {
        const py::gil_scoped_release release;
        try {
            return std::forward<Kernel>(kernel)(interrupt);
        } catch (const Interrupted&) {  // NOLINT(bugprone-empty-catch): raised below, with the GIL
        }
    }
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
    throw py::error_already_set();
}

}  // namespace tulm::binding
