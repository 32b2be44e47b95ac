#include "binding/conversion.hpp"

#include "binding/errors.hpp"

#include <algorithm>

namespace vek::binding {

void raise_conversion_error(PyObject* object, const char* expected) {
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), expected);
}

std::optional<std::string_view> text_from_python(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_conversion_error(object, "PyString");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::vector<std::string>> texts_from_python(PyObject* object) {
    if (PyUnicode_Check(object)) {
        raise(errors::parts_is_str);
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        raise_conversion_error(object, "Sequence");
        return std::nullopt;
    }
    std::vector<std::string> texts;
    // The length only sizes the list; a sequence that cannot tell it still iterates. A
    // __len__ may claim any size, so the reservation is capped: a claim of 2**60 items
    // must not become a failed allocation for a sequence that yields two.
    constexpr Py_ssize_t kMaxReserved = 1 << 16;
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        texts.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserved)));
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return std::nullopt;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        auto text = text_from_python(item.get());
        if (!text) return std::nullopt;
        texts.emplace_back(*text);
    }
    if (PyErr_Occurred()) return std::nullopt;
    return texts;
}

void name_the_argument(const char* name) {
    // Only exact TypeErrors are renamed; subclasses and other errors pass unchanged.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef original = PyRef::steal(PyErr_GetRaisedException());
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        return;
    }
    PyRef message = PyRef::steal(PyObject_Str(original.get()));
    if (!message) return;
    PyRef renamed = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    if (!renamed) return;
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, renamed.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

PyObject* to_python(const std::optional<std::pair<std::string_view, std::string_view>>& pair) {
    if (!pair) Py_RETURN_NONE;
    PyRef first = PyRef::steal(to_python(pair->first));
    if (!first) return nullptr;
    PyRef second = PyRef::steal(to_python(pair->second));
    if (!second) return nullptr;
    PyObject* tuple = PyTuple_New(2);
    if (tuple == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple, 0, first.release());
    PyTuple_SET_ITEM(tuple, 1, second.release());
    return tuple;
}

}  // namespace vek::binding
