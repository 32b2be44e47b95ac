// The parameter description of a callable and the binder that matches a call's
// arguments against it. Every parameter is positional-or-keyword and required.
#pragma once

#include "binding/py_ref.hpp"

#include <array>
#include <cstddef>
#include <string>

namespace vek::binding {

inline constexpr std::size_t kMaxParams = 4;

struct Signature {
    const char* owner;  // class name, or nullptr for a module function
    const char* name;   // "__new__" for a constructor
    std::array<const char*, kMaxParams> params{};
    std::size_t count = 0;
    const char* summary = "";  // documentation after the text signature

    // "Owner.name" or "name", as binding errors call it.
    std::string qualified_name() const;

    constexpr Signature with_summary(const char* text) const {
        Signature copy = *this;
        copy.summary = text;
        return copy;
    }
};

// "name(a, b)\n--\n\n<summary>", or "name($self, a, b)..." for an instance method: the
// text signature CPython shows. Kept for the life of the process, as method tables require.
const char* documentation(const Signature& signature, bool with_self);

template <class... Names>
constexpr Signature describe(const char* owner, const char* name, Names... params) {
    static_assert(sizeof...(Names) <= kMaxParams);
    return Signature{owner, name, {params...}, sizeof...(Names)};
}

// Fills slots[0..count) from a fast call: positional arguments first, then the values of
// the keyword names in `kwnames`. Borrowed references. False with TypeError set on a
// mismatch, worded as CPython words its own.
bool bind_fastcall_general(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                           PyObject** slots);
inline bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          PyObject** slots) {
    // The common call: every parameter given by position, no keywords.
    if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == static_cast<Py_ssize_t>(signature.count)) {
        for (std::size_t i = 0; i < signature.count; ++i) slots[i] = args[i];
        return true;
    }
    return bind_fastcall_general(signature, args, nargsf, kwnames, slots);
}

// The same rules for a constructor's tuple and dictionary.
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace vek::binding
