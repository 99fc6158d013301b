// Casters for the float and int sequence parameters that read numeric buffers
// directly. The standard conversion reads a numpy array element by element
// through Python scalar objects, which costs far more than any kernel; here a
// one-dimensional numpy.ndarray, array.array or memoryview (exact types) with
// a native numeric element format is copied from its buffer instead.
//
// The copy gives the values the element-wise conversion gives, and nothing it
// would refuse is accepted:
//   - float targets: doubles are copied, floats widen exactly, halves decode exactly,
//     integers go through the C conversion, which rounds to nearest-even like
//     Python's int-to-float; bool gives 0.0 or 1.0.
//   - int targets: integers in the 32-bit range and bools (0 or 1).
// Every other case, including float buffers for int targets and integers out
// of range, takes pybind11's own load, so acceptance, refusals and messages
// stay exactly the standard ones. The signature annotations are the standard
// ones too: the casters inherit list_caster's name.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace tulm::binding::buffer_input {

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

// A held read-only buffer of one dimension, or nothing.
class OneDimensionalBuffer {
public:
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
    ~OneDimensionalBuffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    OneDimensionalBuffer(const OneDimensionalBuffer&) = delete;
    OneDimensionalBuffer& operator=(const OneDimensionalBuffer&) = delete;

    // The struct-module code of a native element ("x" or "@x"), else 0.
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

template <typename Element, typename Target>
bool copy_elements(const Py_buffer& view, std::vector<Target>& out) {
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(Element))) {
        return false;
    }
    const Py_ssize_t length = view.shape[0];
    const Py_ssize_t stride = view.strides[0];
    const char* element_bytes = static_cast<const char*>(view.buf);
    out.clear();
    if constexpr (std::is_same_v<Element, Target>) {
        if (stride == static_cast<Py_ssize_t>(sizeof(Target))
            && reinterpret_cast<std::uintptr_t>(element_bytes) % alignof(Target) == 0) {
            const auto* first = reinterpret_cast<const Target*>(element_bytes);
            out.assign(first, first + length);
            return true;
        }
    }
    out.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i, element_bytes += stride) {
        Element element;
        std::memcpy(&element, element_bytes, sizeof element);  // buffers may be unaligned
        Target converted;
        if (!convert_element(element, converted)) {
            return false;
        }
        out.push_back(converted);
    }
    return true;
}

// Fills `out` from a buffer and returns true, or returns false when the
// standard conversion must decide.
template <typename Target>
bool load_from_buffer(PyObject* object, std::vector<Target>& out) {
    const OneDimensionalBuffer buffer(object);
    const Py_buffer& view = buffer.view();
    switch (buffer.format_code()) {
        case '?': return copy_elements<Bool>(view, out);
        case 'b': return copy_elements<signed char>(view, out);
        case 'B': return copy_elements<unsigned char>(view, out);
        case 'h': return copy_elements<short>(view, out);
        case 'H': return copy_elements<unsigned short>(view, out);
        case 'i': return copy_elements<int>(view, out);
        case 'I': return copy_elements<unsigned int>(view, out);
        case 'l': return copy_elements<long>(view, out);
        case 'L': return copy_elements<unsigned long>(view, out);
        case 'q': return copy_elements<long long>(view, out);
        case 'Q': return copy_elements<unsigned long long>(view, out);
        case 'n': return copy_elements<Py_ssize_t>(view, out);
        case 'N': return copy_elements<std::size_t>(view, out);
        case 'e': return copy_elements<Half>(view, out);
        case 'f': return copy_elements<float>(view, out);
        case 'd': return copy_elements<double>(view, out);
        default: return false;
    }
}

}  // namespace tulm::binding::buffer_input

namespace pybind11::detail {

// Conversion-allowed loads only: a no-convert load keeps the standard strictness.
template <>
struct type_caster<std::vector<double>> : list_caster<std::vector<double>, double> {
    bool load(handle source, bool convert) {
        return (convert && tulm::binding::buffer_input::load_from_buffer(source.ptr(), value))
               || list_caster<std::vector<double>, double>::load(source, convert);
    }
};

template <>
struct type_caster<std::vector<int>> : list_caster<std::vector<int>, int> {
    bool load(handle source, bool convert) {
        return (convert && tulm::binding::buffer_input::load_from_buffer(source.ptr(), value))
               || list_caster<std::vector<int>, int>::load(source, convert);
    }
};

}  // namespace pybind11::detail
