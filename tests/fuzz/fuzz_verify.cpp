// Verification: no input crashes it, and the combined answer (libsodium first, OpenSSL when
// libsodium says no) equals the OpenSSL answer alone on every input, the text entry points
// included. Inputs are either raw (key, signature, message) or a genuine signature that is
// then damaged in the ways the verification rule cares about.
//
// Layout: byte 0 picks the form.
//   even: key[32] signature[64] message...
//   odd:  seed[32] damage[1] xor-mask[64] point[1] message...; damage bits: 1 apply the mask
//         to the signature, 2 replace R by a special point, 4 add the group order to S,
//         8 replace the public key by a special point.
// Covers: src/engine/verification.cpp
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "check.hpp"
#include "engine/hex.hpp"
#include "engine/key_pair.hpp"
#include "engine/verification.hpp"

namespace {

using namespace vek::engine;

// Small-order points (all eight) and two non-canonical encodings (y = p, y = p + 1).
constexpr std::array<std::string_view, 10> kSpecialPoints = {
    "0100000000000000000000000000000000000000000000000000000000000000",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0000000000000000000000000000000000000000000000000000000000000080",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
};

// The group order L, little-endian.
constexpr std::array<std::uint8_t, 32> kOrder = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                                 0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                                 0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

void add_order(std::span<std::uint8_t, 32> scalar) {
    unsigned carry = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        const unsigned sum = scalar[i] + kOrder[i] + carry;
        scalar[i] = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
    }
}

void special_point(std::uint8_t selector, std::span<std::uint8_t, 32> out) {
    FUZZ_CHECK(decode_hex_exact(kSpecialPoints[selector % kSpecialPoints.size()], out));
}

std::string upper(std::string text) {
    for (char& c : text) c = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
    return text;
}

void check_all_paths(std::string_view message, const SignatureBytes& signature, const PublicKey& key) {
    const auto bytes = as_bytes(message);
    const bool exact = verify_exact(bytes, signature, key);
    FUZZ_CHECK(verify(bytes, signature, key) == exact);
    const std::string signature_hex = to_hex(signature);
    const std::string key_hex = to_hex(key);
    FUZZ_CHECK(verify_hex(message, signature_hex, key) == exact);
    FUZZ_CHECK(verify_hex(message, upper(signature_hex), key) == exact);
    FUZZ_CHECK(verify_hex_with_key(message, signature_hex, key_hex) == exact);
    FUZZ_CHECK(verify_hex_with_key(message, signature_hex, upper(key_hex)) == exact);
    // Every defect of the texts is a plain "no".
    FUZZ_CHECK(!verify_hex(message, std::string_view(signature_hex).substr(1), key));
    FUZZ_CHECK(!verify_hex_with_key(message, signature_hex, std::string_view(key_hex).substr(0, 62)));
    FUZZ_CHECK(!verify_hex_with_key(message, signature_hex + "00", key_hex));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::span<const std::uint8_t> input(data + 1, size - 1);
    PublicKey key;
    SignatureBytes signature;

    if (data[0] % 2 == 0) {
        if (input.size() < 96) return 0;
        std::copy_n(input.begin(), 32, key.begin());
        std::copy_n(input.begin() + 32, 64, signature.begin());
        const auto rest = input.subspan(96);
        check_all_paths({reinterpret_cast<const char*>(rest.data()), rest.size()}, signature, key);
        return 0;
    }

    if (input.size() < 32 + 1 + 64 + 1) return 0;
    auto pair = KeyPair::from_secret_hex(to_hex(input.first<32>()));
    FUZZ_CHECK(pair.has_value());
    const std::uint8_t damage = input[32];
    const auto mask = input.subspan(33, 64);
    const std::uint8_t point = input[97];
    const auto rest = input.subspan(98);
    const std::string_view message(reinterpret_cast<const char*>(rest.data()), rest.size());

    signature = pair->sign(as_bytes(message));
    key = pair->public_key();
    if ((damage & 0x0f) == 0) {
        FUZZ_CHECK(verify(as_bytes(message), signature, key));
        FUZZ_CHECK(verify_exact(as_bytes(message), signature, key));
    }
    if (damage & 1) {
        for (std::size_t i = 0; i < 64; ++i) signature[i] ^= mask[i];
    }
    if (damage & 2) special_point(point, std::span(signature).first<32>());
    if (damage & 4) add_order(std::span(signature).last<32>());
    if (damage & 8) special_point(static_cast<std::uint8_t>(point >> 4), key);
    check_all_paths(message, signature, key);
    return 0;
}
