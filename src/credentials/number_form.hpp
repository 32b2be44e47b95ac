// Numbers as ECMAScript writes a double (Number.prototype.toString): the shortest digits that
// read back as the same double, in plain or exponent notation by the size of the exponent.
#pragma once

#include <array>
#include <string_view>

#include "common/refusal.hpp"

namespace vek::credentials {

// Room for the longest form, "-d.dddddddddddddddde-ddd".
using NumberBuffer = std::array<char, 32>;

// The form of `spelling`, a JSON number, read as the nearest double: `spelling` itself when
// that is its form already, else a view of `buffer`. A number beyond the largest double is
// refused; one below the smallest is zero, written "0" as -0 is.
Checked<std::string_view> number_form(std::string_view spelling, NumberBuffer& buffer);

}  // namespace vek::credentials
