// How a caller stops a long kernel: the kernel asks a hook now and then, at
// most every few milliseconds, and throws Interrupted when it says stop.
// The hook is the caller's (the Python binding makes Ctrl-C stop a kernel);
// the kernels know nothing of what it looks at.
#pragma once

#include <exception>

namespace tulm {

// Thrown out of a kernel whose hook asked it to stop; everything the kernel
// held has been released by then.
class Interrupted : public std::exception {
public:
    [[nodiscard]] const char* what() const noexcept override { return "interrupted"; }
};

// `stop_requested(context)` is called from the kernel's own thread; true
// stops the kernel. The default hook never stops it.
struct Interrupt {
    bool (*stop_requested)(void* context) = nullptr;
    void* context = nullptr;
};

}  // namespace tulm
