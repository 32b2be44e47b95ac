// Numbers as ECMAScript writes a double (Number.prototype.toString): the shortest digits that
// read back as the same double, in plain or exponent notation by the size of the exponent.
#pragma once

#include <string>
#include <string_view>

#include "signed/refusal.hpp"

namespace vek::credentials {

// Appends the form of `spelling`, a JSON number, read as the nearest double. A number beyond
// the largest double is refused; one below the smallest is zero, written "0" as -0 is.
record::Checked<void> append_number(std::string& out, std::string_view spelling);

}  // namespace vek::credentials
