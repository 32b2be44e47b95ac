// Instances of the package's Python result classes, filled from values checked natively.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "binding/conversion.hpp"
#include "binding/py_ref.hpp"

namespace vek::binding {

// The attribute names of a result class, interned once and kept for the process's life.
template <std::size_t N>
class FieldNames {
public:
    explicit constexpr FieldNames(std::array<const char*, N> spellings) : spellings_(spellings) {}

    // The names, made on first use; nullptr with the error set if one could not be made.
    const std::array<PyObject*, N>* get() {
        for (std::size_t i = 0; i < N; ++i) {
            if (names_[i] == nullptr && (names_[i] = PyUnicode_InternFromString(spellings_[i])) == nullptr) return nullptr;
        }
        return &names_;
    }

private:
    std::array<const char*, N> spellings_;
    std::array<PyObject*, N> names_{};
};

// A class argument: the class whose instance a result becomes.
struct ResultType {
    PyTypeObject* type = nullptr;
};

template <>
std::optional<ResultType> from_python(PyObject* object);

// A new instance of `type`, made by its __new__ without its __init__, whose attributes are
// names[i] = values[i]. A frozen dataclass's __init__ stores each field by a Python call of
// object.__setattr__; here the same C function stores them, without the calls, so that the
// result of a short native check costs little more than the check. nullptr with the error set
// when it fails, or when one of `values` could not be made.
PyObject* instance_with(PyTypeObject* type, std::span<PyObject* const> names, std::span<PyRef> values);

}  // namespace vek::binding
