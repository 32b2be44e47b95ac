// The text form of "did:vek:" identifiers: parse, the one validity check, creation from parts.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/domain_error.hpp"

namespace vek::did {

inline constexpr std::string_view kSchemePrefix = "did:";
inline constexpr std::string_view kMethodName = "vek";
inline constexpr std::string_view kMethodPrefix = "did:vek:";

struct ParsedDid {
    std::string_view method;
    std::string_view identifier;  // everything after the second ':'
};

// Splits "did:<method>:<identifier>" without looking at the method or the characters.
// The views point into `text`.
std::optional<ParsedDid> parse_did(std::string_view text);

// True for "did:vek:" followed by a non-empty identifier over [A-Za-z0-9._:-].
bool is_valid_did(std::string_view text);

// "did:vek:" followed by the parts joined with ':'.
Result<std::string> create_did_from_parts(std::span<const std::string> parts);

}  // namespace vek::did
