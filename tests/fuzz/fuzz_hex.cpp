// Hex decoding: exactly the even-length texts over 0-9, a-f, A-F are accepted, into exactly
// half their length; decoding inverts encoding; nothing is read or written out of bounds.
// Covers: src/engine/hex.cpp
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/hex.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vek::engine;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool hex = size % 2 == 0 && std::ranges::all_of(text, [](unsigned char c) { return std::isxdigit(c); });
    // Heap buffers of the exact size, so that ASan sees a single byte written past the end.
    std::vector<std::uint8_t> decoded(size / 2), longer(size / 2 + 1), back(size);
    FUZZ_CHECK(is_hex(text) == hex && decode_hex_exact(text, decoded) == hex && !decode_hex_exact(text, longer));
    const auto same_digit = [](char out, unsigned char in) { return out == std::tolower(in); };
    FUZZ_CHECK(!hex || std::ranges::equal(to_hex(decoded), text, same_digit));
    const std::string encoded = to_hex({data, size});
    FUZZ_CHECK(encoded.size() == 2 * size && decode_hex_exact(encoded, back));
    FUZZ_CHECK(std::ranges::equal(back, std::span(data, size)));
    FUZZ_CHECK(std::ranges::none_of(encoded, [](unsigned char c) { return std::isupper(c); }));
    return 0;
}
