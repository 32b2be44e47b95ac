// DID syntax: parse accounts for its whole input, validation is exactly "did:vek:" plus a
// non-empty identifier over [A-Za-z0-9._:-], and every DID create_did_from_parts returns,
// except the bare prefix, validates and parses back.
// Covers: src/did/did_syntax.cpp
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "did/did_syntax.hpp"

using namespace vek::did;

static bool identifier_chars(std::string_view text) {
    return text.find_first_not_of("-.:_0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") == text.npos;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = parse_did(text);
    FUZZ_CHECK(parsed.has_value() == (text.starts_with("did:") && text.find(':', 4) != text.npos));
    if (parsed) FUZZ_CHECK("did:" + std::string(parsed->method) + ":" + std::string(parsed->identifier) == text);
    const std::string_view id = text.substr(std::min(size, kMethodPrefix.size()));  // what follows "did:vek:"
    FUZZ_CHECK(is_valid_did(text) == (text.starts_with(kMethodPrefix) && !id.empty() && identifier_chars(id)));

    FuzzedDataProvider input(data, size);
    std::vector<std::string> parts(input.ConsumeIntegralInRange<std::size_t>(0, 6));
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        joined += (i ? ":" : "") + (parts[i] = input.ConsumeRandomLengthString(64));
    }
    const auto created = create_did_from_parts(parts);
    FUZZ_CHECK(created.has_value() == (!parts.empty() && identifier_chars(joined)));
    if (created) FUZZ_CHECK(*created == "did:vek:" + joined && (joined.empty() || is_valid_did(*created)));
    return 0;
}
