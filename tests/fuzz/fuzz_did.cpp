// DID syntax: parse never fails to account for its input, validation is exactly
// "did:vek:" plus a non-empty identifier over [A-Za-z0-9._:-], and every DID that
// create_did_from_parts returns, except the bare prefix, validates and parses back.
// Covers: src/did/did_syntax.cpp
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "did/did_syntax.hpp"

namespace {

using namespace vek::did;

bool identifier_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == ':' || c == '_';
}

bool all_identifier_chars(std::string_view text) {
    for (char c : text) {
        if (!identifier_char(c)) return false;
    }
    return true;
}

bool inside(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void check_parse_and_validate(std::string_view text) {
    const auto parsed = parse_did(text);
    const bool has_scheme = text.starts_with("did:");
    FUZZ_CHECK(parsed.has_value() == (has_scheme && text.substr(4).find(':') != std::string_view::npos));
    if (parsed) {
        FUZZ_CHECK(inside(parsed->method, text) && inside(parsed->identifier, text));
        FUZZ_CHECK(parsed->method.find(':') == std::string_view::npos);
        std::string rebuilt = "did:";
        rebuilt.append(parsed->method).append(":").append(parsed->identifier);
        FUZZ_CHECK(rebuilt == text);
    }

    const bool valid = is_valid_did(text);
    const std::string_view identifier = text.starts_with(kMethodPrefix) ? text.substr(kMethodPrefix.size()) : "";
    FUZZ_CHECK(valid == (text.starts_with(kMethodPrefix) && !identifier.empty() && all_identifier_chars(identifier)));
    if (valid) FUZZ_CHECK(parsed && parsed->method == "vek" && parsed->identifier == identifier);
}

void check_create(FuzzedDataProvider& input) {
    std::vector<std::string> parts(input.ConsumeIntegralInRange<std::size_t>(0, 6));
    for (auto& part : parts) part = input.ConsumeRandomLengthString(64);

    const auto created = create_did_from_parts(parts);
    bool all_valid = true;
    for (const auto& part : parts) all_valid = all_valid && all_identifier_chars(part);
    if (parts.empty()) {
        FUZZ_CHECK(!created && created.error() == vek::errors::did_needs_part);
        return;
    }
    if (!all_valid) {
        FUZZ_CHECK(!created && created.error() == vek::errors::did_invalid_characters);
        return;
    }
    FUZZ_CHECK(created.has_value());
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) joined.append(i == 0 ? "" : ":").append(parts[i]);
    FUZZ_CHECK(*created == std::string(kMethodPrefix) + joined);
    if (*created != kMethodPrefix) {
        FUZZ_CHECK(is_valid_did(*created));
        const auto parsed = parse_did(*created);
        FUZZ_CHECK(parsed && parsed->method == "vek" && parsed->identifier == joined);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // libFuzzer hands over a heap block of exactly `size` bytes: a read past the end is caught.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_parse_and_validate(text);
    FuzzedDataProvider input(data, size);
    check_create(input);
    return 0;
}
