#include "binding/signature.hpp"

namespace vek::binding {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": CPython's list of missing names.
std::string quoted_list(const Signature& signature, const bool* filled) {
    std::array<const char*, kMaxParams> missing{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (!filled[i]) missing[count++] = signature.params[i];
    }
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += count > 2 ? ", " : " ";
        if (i > 0 && i + 1 == count) text += "and ";
        text.append("'").append(missing[i]).append("'");
    }
    return text;
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                 signature.qualified_name().c_str(), signature.count, signature.count == 1 ? "" : "s", given,
                 given == 1 ? "was" : "were");
    return false;
}

// Matches one keyword argument by exact name and fills its slot.
bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** slots) {
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, signature.params[i]) == 0) {
            if (slots[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             signature.qualified_name().c_str(), signature.params[i]);
                return false;
            }
            slots[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.qualified_name().c_str(),
                 name);
    return false;
}

bool check_all_filled(const Signature& signature, PyObject** slots) {
    bool filled[kMaxParams] = {};
    std::size_t missing = 0;
    for (std::size_t i = 0; i < signature.count; ++i) {
        filled[i] = slots[i] != nullptr;
        missing += filled[i] ? 0 : 1;
    }
    if (missing == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 signature.qualified_name().c_str(), missing, missing == 1 ? "" : "s",
                 quoted_list(signature, filled).c_str());
    return false;
}

}  // namespace

std::string Signature::qualified_name() const {
    std::string text;
    if (owner != nullptr) text.append(owner).append(".");
    return text.append(name);
}

const char* documentation(const Signature& signature, bool with_self) {
    auto* text = new std::string(signature.name);
    text->append("(");
    if (with_self) text->append(signature.count == 0 ? "$self" : "$self, ");
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (i > 0) text->append(", ");
        text->append(signature.params[i]);
    }
    text->append(")\n--\n\n").append(signature.summary);
    return text->c_str();
}

bool bind_fastcall_general(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                           PyObject** slots) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > static_cast<Py_ssize_t>(signature.count)) return too_many_positional(signature, positional);
    for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[positional + k], slots)) return false;
        }
    }
    return check_all_filled(signature, slots);
}

bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > static_cast<Py_ssize_t>(signature.count)) return too_many_positional(signature, positional);
    for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!bind_keyword(signature, name, value, slots)) return false;
        }
    }
    return check_all_filled(signature, slots);
}

}  // namespace vek::binding
