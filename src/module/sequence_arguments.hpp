// The float and int sequence parameters as the kernels read them: a span.
//
// A one-dimensional numpy.ndarray, array.array or memoryview (exact types)
// whose elements are already the kernel's (native float64 for floats, native
// int32 for ints), contiguous and aligned, is read in place: its buffer is held
// for the call and nothing is copied. Any other numeric buffer of one
// dimension is converted into a vector from the buffer, giving the values the
// element-wise conversion gives:
//   - float targets: floats widen exactly, halves decode exactly, integers go
//     through the C conversion, which rounds to nearest-even like Python's
//     int-to-float; bool gives 0.0 or 1.0.
//   - int targets: integers in the 32-bit range and bools (0 or 1).
// Everything else, including float buffers for int targets and integers out
// of range, takes pybind11's own conversion of a std::vector, so acceptance,
// refusals and messages stay exactly the standard ones, and so does the
// signature annotation.
//
// Each parameter carries the longest length its function accepts, checked
// before any element is copied or read (std::length_error: ValueError).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "argument_checks.hpp"

namespace tulm::binding {

namespace buffer_input {

// Exact type check without importing anything: the type must be the one that
// the already imported module holds under that name.
inline bool is_exact_module_type(PyObject* object, const char* qualified_name,
                                 const char* module_name, const char* type_name) {
    if (std::strcmp(Py_TYPE(object)->tp_name, qualified_name) != 0) {
        return false;
    }
    PyObject* module = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), module_name, &module) <= 0) {
        PyErr_Clear();
        return false;
    }
    bool same = false;
    if (PyModule_Check(module)) {
        PyObject* type = nullptr;
        if (PyDict_GetItemStringRef(PyModule_GetDict(module), type_name, &type) > 0) {
            same = type == reinterpret_cast<PyObject*>(Py_TYPE(object));
            Py_DECREF(type);
        } else {
            PyErr_Clear();
        }
    }
    Py_DECREF(module);
    return same;
}

inline bool is_buffer_source(PyObject* object) {
    return PyMemoryView_Check(object) != 0  // memoryview cannot be subclassed
           || is_exact_module_type(object, "numpy.ndarray", "numpy", "ndarray")
           || is_exact_module_type(object, "array.array", "array", "array");
}

// A held read-only buffer of one dimension, or nothing. Movable, so that a
// sequence argument can keep it for the call.
class OneDimensionalBuffer {
public:
    OneDimensionalBuffer() = default;
    explicit OneDimensionalBuffer(PyObject* object) {
        if (!is_buffer_source(object)) {
            return;
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
    }
    ~OneDimensionalBuffer() { release(); }
    OneDimensionalBuffer(const OneDimensionalBuffer&) = delete;
    OneDimensionalBuffer& operator=(const OneDimensionalBuffer&) = delete;
    OneDimensionalBuffer(OneDimensionalBuffer&& other) noexcept
        : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    OneDimensionalBuffer& operator=(OneDimensionalBuffer&& other) noexcept {
        if (this != &other) {
            release();
            view_ = other.view_;
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }

    // The struct-module code of a native element ("x" or "@x") of a
    // one-dimensional buffer, else 0.
    [[nodiscard]] char format_code() const {
        if (!held_ || view_.ndim != 1 || view_.suboffsets != nullptr || view_.format == nullptr) {
            return 0;
        }
        const char* format = view_.format;
        if (format[0] == '@') {
            ++format;
        }
        return format[0] != '\0' && format[1] == '\0' ? format[0] : '\0';
    }
    [[nodiscard]] const Py_buffer& view() const { return view_; }

private:
    void release() {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }

    Py_buffer view_{};
    bool held_ = false;
};

// IEEE binary16 bits to the double of the same value (sign and NaN payload kept).
inline double half_to_double(std::uint16_t bits) {
    const std::uint64_t sign = static_cast<std::uint64_t>(bits & 0x8000U) << 48;
    const std::uint64_t exponent = (bits >> 10) & 0x1fU;
    const std::uint64_t fraction = bits & 0x3ffU;
    std::uint64_t result = 0;
    if (exponent == 0x1f) {
        result = sign | 0x7ff0000000000000ULL | (fraction << 42);
    } else if (exponent != 0) {
        result = sign | ((exponent - 15 + 1023) << 52) | (fraction << 42);
    } else {
        // Subnormal half: fraction * 2^-24 is exact in a double.
        const double magnitude = static_cast<double>(fraction) * 0x1p-24;
        return sign != 0 ? -magnitude : magnitude;
    }
    double value = 0.0;
    std::memcpy(&value, &result, sizeof value);
    return value;
}

struct Half {
    std::uint16_t bits;
};
struct Bool {
    unsigned char byte;
};

template <typename Element>
bool convert_element(Element element, double& out) {
    if constexpr (std::is_same_v<Element, Half>) {
        out = half_to_double(element.bits);
    } else if constexpr (std::is_same_v<Element, Bool>) {
        out = element.byte != 0 ? 1.0 : 0.0;
    } else {
        out = static_cast<double>(element);
    }
    return true;
}

template <typename Element>
bool convert_element(Element element, int& out) {
    if constexpr (std::is_same_v<Element, Bool>) {
        out = element.byte != 0 ? 1 : 0;
        return true;
    } else if constexpr (std::is_integral_v<Element>) {
        if (!std::in_range<int>(element)) {
            return false;
        }
        // A signed char element is a number, not a character.
        out = static_cast<int>(element);  // NOLINT(bugprone-signed-char-misuse)
        return true;
    } else {
        return false;  // floats for ints: truncation rules differ by source type
    }
}

}  // namespace buffer_input

// A float or int sequence argument of at most MaxLength values, read in place
// or converted into a vector it owns.
template <typename T, std::size_t MaxLength>
class Sequence {
public:
    Sequence() = default;
    Sequence(const Sequence&) = delete;
    Sequence& operator=(const Sequence&) = delete;
    Sequence(Sequence&&) = delete;
    Sequence& operator=(Sequence&&) = delete;
    ~Sequence() = default;

    [[nodiscard]] std::span<const T> values() const { return values_; }
    [[nodiscard]] std::size_t size() const { return values_.size(); }

    void own(std::vector<T>&& values) {
        require_length_at_most(values.size(), MaxLength);
        owned_ = std::move(values);
        values_ = owned_;
    }
    void view(buffer_input::OneDimensionalBuffer&& buffer, std::span<const T> values) {
        buffer_ = std::move(buffer);
        values_ = values;
    }

private:
    buffer_input::OneDimensionalBuffer buffer_;  // held while values_ reads it
    std::vector<T> owned_;
    std::span<const T> values_;
};

template <std::size_t MaxLength = kMaxLength>
using FloatSequence = Sequence<double, MaxLength>;
template <std::size_t MaxLength = kMaxLength>
using IntSequence = Sequence<int, MaxLength>;

namespace buffer_input {

// Reads a buffer of Element values into `out`: in place when they already are
// Targets laid out as an array of them, else by conversion. False when an
// element does not convert, or the buffer's item size is not Element's.
template <typename Element, typename Target, std::size_t MaxLength>
bool read_elements(OneDimensionalBuffer& buffer, Sequence<Target, MaxLength>& out) {
    const Py_buffer& view = buffer.view();
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(Element))) {
        return false;
    }
    const auto length = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides[0];
    const char* element_bytes = static_cast<const char*>(view.buf);
    if constexpr (std::is_same_v<Element, Target>) {
        if ((stride == static_cast<Py_ssize_t>(sizeof(Target)) || length <= 1)
            && reinterpret_cast<std::uintptr_t>(element_bytes) % alignof(Target) == 0) {
            const auto* first = reinterpret_cast<const Target*>(element_bytes);
            out.view(std::move(buffer), std::span<const Target>(first, length));
            return true;
        }
    }
    std::vector<Target> converted_values;
    converted_values.reserve(length);
    for (std::size_t i = 0; i < length; ++i, element_bytes += stride) {
        Element element;
        std::memcpy(&element, element_bytes, sizeof element);  // buffers may be unaligned
        Target converted;
        if (!convert_element(element, converted)) {
            return false;
        }
        converted_values.push_back(converted);
    }
    out.own(std::move(converted_values));
    return true;
}

// Fills `out` from a buffer and returns true, or returns false when the
// standard conversion must decide. A buffer longer than MaxLength is refused
// before anything is read.
template <typename Target, std::size_t MaxLength>
bool load_from_buffer(PyObject* object, Sequence<Target, MaxLength>& out) {
    OneDimensionalBuffer buffer(object);
    const char code = buffer.format_code();
    if (code == '\0') {
        return false;
    }
    require_length_at_most(static_cast<std::size_t>(buffer.view().shape[0]), MaxLength);
    switch (code) {
        case '?': return read_elements<Bool>(buffer, out);
        case 'b': return read_elements<signed char>(buffer, out);
        case 'B': return read_elements<unsigned char>(buffer, out);
        case 'h': return read_elements<short>(buffer, out);
        case 'H': return read_elements<unsigned short>(buffer, out);
        case 'i': return read_elements<int>(buffer, out);
        case 'I': return read_elements<unsigned int>(buffer, out);
        case 'l': return read_elements<long>(buffer, out);
        case 'L': return read_elements<unsigned long>(buffer, out);
        case 'q': return read_elements<long long>(buffer, out);
        case 'Q': return read_elements<unsigned long long>(buffer, out);
        case 'n': return read_elements<Py_ssize_t>(buffer, out);
        case 'N': return read_elements<std::size_t>(buffer, out);
        case 'e': return read_elements<Half>(buffer, out);
        case 'f': return read_elements<float>(buffer, out);
        case 'd': return read_elements<double>(buffer, out);
        default: return false;
    }
}

// A sequence that reports its length (not str or bytes, which are refused
// anyway) is refused by length before its elements are converted. An error
// from the length itself is left for the standard conversion to raise.
template <std::size_t MaxLength>
void require_reported_length_at_most(PyObject* object) {
    if (PySequence_Check(object) == 0 || PyUnicode_Check(object) != 0
        || PyBytes_Check(object) != 0) {
        return;
    }
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        PyErr_Clear();
        return;
    }
    require_length_at_most(static_cast<std::size_t>(length), MaxLength);
}

}  // namespace buffer_input

}  // namespace tulm::binding

namespace pybind11::detail {

template <typename T, std::size_t MaxLength>
struct type_caster<tulm::binding::Sequence<T, MaxLength>> {
    using Standard = list_caster<std::vector<T>, T>;
    using Argument = tulm::binding::Sequence<T, MaxLength>;
    PYBIND11_TYPE_CASTER(Argument, Standard::name);

    // Conversion-allowed loads only read buffers: a no-convert load keeps the
    // standard strictness.
    bool load(handle source, bool convert) {
        namespace input = tulm::binding::buffer_input;
        if (convert && input::load_from_buffer(source.ptr(), value)) {
            return true;
        }
        input::require_reported_length_at_most<MaxLength>(source.ptr());
        Standard standard;
        if (!standard.load(source, convert)) {
            return false;
        }
        value.own(static_cast<std::vector<T>&&>(std::move(standard)));
        return true;
    }
};

}  // namespace pybind11::detail
