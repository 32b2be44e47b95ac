// Conversions between Python objects and the core's texts, truth values and records.
#pragma once

#include "binding/py_ref.hpp"
#include "common/domain_error.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vek::binding {

// Sets TypeError "'<type>' object cannot be converted to '<expected>'".
void raise_conversion_error(PyObject* object, const char* expected);

// A `str` (or subclass) read in place as UTF-8; the view lives as long as the object.
// A lone surrogate leaves the interpreter's UnicodeEncodeError set.
std::optional<std::string_view> text_from_python(PyObject* object);

// A sequence of `str` that is not itself a `str`, copied item by item.
std::optional<std::vector<std::string>> texts_from_python(PyObject* object);

template <class T>
std::optional<T> from_python(PyObject* object);
template <>
inline std::optional<std::string_view> from_python(PyObject* object) { return text_from_python(object); }
template <>
inline std::optional<std::vector<std::string>> from_python(PyObject* object) { return texts_from_python(object); }

// Replaces a pending exact TypeError from converting argument `name` by a TypeError whose
// message starts with the argument's designation, keeping the original's cause.
void name_the_argument(const char* name);

inline PyObject* to_python(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
inline PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

}  // namespace vek::binding
