#include "did/did_syntax.hpp"

#include <algorithm>

namespace vek::did {
namespace {

constexpr bool is_identifier_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ':' || c == '_';
}

// Every byte of a non-ASCII character is >= 0x80 and so outside the set: testing bytes
// gives the same answer as testing whole characters.
bool all_identifier_chars(std::string_view text) {
    return std::ranges::all_of(text, is_identifier_char);
}

}  // namespace

std::optional<ParsedDid> parse_did(std::string_view text) {
    if (!text.starts_with(kSchemePrefix)) return std::nullopt;
    const std::string_view rest = text.substr(kSchemePrefix.size());
    const auto colon = rest.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return ParsedDid{rest.substr(0, colon), rest.substr(colon + 1)};
}

bool is_valid_did(std::string_view text) {
    if (!text.starts_with(kMethodPrefix)) return false;
    const std::string_view identifier = text.substr(kMethodPrefix.size());
    return !identifier.empty() && all_identifier_chars(identifier);
}

Result<std::string> create_did_from_parts(std::span<const std::string> parts) {
    if (parts.empty()) return std::unexpected(errors::did_needs_part);
    std::size_t length = kMethodPrefix.size() + parts.size() - 1;
    for (const auto& part : parts) length += part.size();

    std::string did;
    did.reserve(length);
    did.append(kMethodPrefix);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) did.push_back(':');
        if (!all_identifier_chars(parts[i])) return std::unexpected(errors::did_invalid_characters);
        did.append(parts[i]);
    }
    return did;
}

}  // namespace vek::did
