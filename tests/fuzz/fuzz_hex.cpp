// Hex decoding: exactly the even-length texts over 0-9, a-f, A-F are accepted, decoding
// inverts encoding in both directions, and no length is read or written out of bounds.
// Covers: src/engine/hex.cpp
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "engine/hex.hpp"

namespace {

bool is_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

char lower(char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vek::engine;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    bool expected = size % 2 == 0;
    for (char c : text) expected = expected && is_digit(c);
    FUZZ_CHECK(is_hex(text) == expected);

    // Heap buffers of the exact size, so that ASan sees a single byte written past the end.
    std::vector<std::uint8_t> decoded(size / 2);
    FUZZ_CHECK(decode_hex_exact(text, decoded) == expected);
    if (expected) {
        std::string lowered(text);
        for (char& c : lowered) c = lower(c);
        FUZZ_CHECK(to_hex(decoded) == lowered);
    }
    // Any other output length is refused, whatever the text.
    std::vector<std::uint8_t> longer(size / 2 + 1);
    FUZZ_CHECK(!decode_hex_exact(text, longer));
    if (size >= 2) {
        std::vector<std::uint8_t> shorter(size / 2 - 1);
        FUZZ_CHECK(!decode_hex_exact(text, shorter));
    }

    // Raw bytes: encoded as lower-case hex of twice the length, decoded back unchanged.
    const std::string encoded = to_hex({data, size});
    FUZZ_CHECK(encoded.size() == 2 * size && is_hex(encoded));
    for (char c : encoded) FUZZ_CHECK(lower(c) == c);
    std::vector<std::uint8_t> back(size);
    FUZZ_CHECK(decode_hex_exact(encoded, back));
    FUZZ_CHECK(std::equal(back.begin(), back.end(), data));
    return 0;
}
