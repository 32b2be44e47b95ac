// The str arguments of did_vek._native, read as UTF-8. Needs the interpreter lock.
#pragma once

#include <optional>
#include <string_view>

#include "binding/conversion.hpp"

namespace vek::record {

// A str argument read as UTF-8. Its object is an argument of the call, alive until the call
// returns, so the view stays valid while the lock is given up. A str without a UTF-8 form
// (a lone surrogate) is a ValueError naming the character, like any other refusal.
struct Text {
    std::string_view utf8;
    PyObject* object = nullptr;  // the str itself, borrowed from the call's arguments
};

}  // namespace vek::record

namespace vek::binding {

template <>
std::optional<record::Text> from_python(PyObject* object);

}  // namespace vek::binding
