// Helpers shared by the core tests: test-vector files and hex fixtures.
#pragma once

#include <doctest/doctest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "engine/hex.hpp"
#include "engine/key_pair.hpp"
#include "engine/verification.hpp"

namespace test_support {

inline nlohmann::json load_vectors(const std::string& name) {
    std::ifstream in(std::string(VECTORS_DIR) + "/" + name);
    REQUIRE(in.good());
    return nlohmann::json::parse(in);
}

// Decodes hex that a test trusts: into a vector, or into an array of N bytes.
template <std::size_t N = 0>
auto bytes_of(std::string_view hex) {
    std::conditional_t<N == 0, std::vector<std::uint8_t>, std::array<std::uint8_t, N>> out{};
    if constexpr (N == 0) out.resize(hex.size() / 2);
    REQUIRE(vek::engine::decode_hex_exact(hex, out));
    return out;
}

inline std::string text_of(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

inline std::string upper(std::string text) {
    std::ranges::transform(text, text.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// RFC 8032 section 7.1, TEST 1.
inline constexpr std::string_view kTest1Secret = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";

}  // namespace test_support
