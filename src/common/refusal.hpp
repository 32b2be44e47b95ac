// Refusals of a text read (JSON, a signed document): one line of English that names what is
// wrong, built from the input, so that a reader can find the member without a second tool.
#pragma once

#include <expected>
#include <string>

namespace vek {

struct Refusal {
    std::string message;
};

template <class T>
using Checked = std::expected<T, Refusal>;

inline std::unexpected<Refusal> refuse(std::string message) { return std::unexpected(Refusal{std::move(message)}); }

}  // namespace vek
