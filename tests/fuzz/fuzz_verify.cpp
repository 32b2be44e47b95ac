// Verification: no input crashes it, and the answer of verify (libsodium or OpenSSL, chosen
// by the input's bytes) equals the OpenSSL answer alone, the text entry points included.
// Byte 0 picks the form of the rest:
//   even: key[32] signature[64] message...
//   odd:  seed[32] damage[1] xor-mask[64] point[1] message...: a genuine signature, then
//         damaged as the bits of `damage` say: 1 apply the mask to the signature, 2 replace
//         R by a special point, 4 add the group order to S, 8 replace the key by a special point.
// Covers: src/engine/verification.cpp
#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>

#include "check.hpp"
#include "engine/hex.hpp"
#include "engine/key_pair.hpp"
#include "engine/verification.hpp"

using namespace vek::engine;

// The eight small-order points, the neutral point with its sign bit set, and y fields at
// and above p (p, p + 1, p + 2, 2^255 - 1), some with the sign bit set: sixteen in all,
// so that a byte picks one for R (low nibble) and one for the key (high nibble).
static constexpr std::string_view kSpecialPoints[] = {
    "0100000000000000000000000000000000000000000000000000000000000000",
    "0100000000000000000000000000000000000000000000000000000000000080",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0000000000000000000000000000000000000000000000000000000000000080",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    "efffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "efffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
};
static_assert(std::size(kSpecialPoints) == 16);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool damaged = size > 0 && data[0] % 2 == 1;
    if (size < (damaged ? 99u : 97u)) return 0;
    const auto input = std::span(data + 1, size - 1);
    const auto rest = input.subspan(damaged ? 98 : 96);
    const std::string_view message(reinterpret_cast<const char*>(rest.data()), rest.size());
    PublicKey key;
    SignatureBytes signature;
    if (!damaged) {
        std::copy_n(input.begin(), 32, key.begin());
        std::copy_n(input.begin() + 32, 64, signature.begin());
    } else {
        const auto pair = KeyPair::from_secret_hex(to_hex(input.first(32)));
        const std::uint8_t damage = input[32], point = input[97];
        key = pair->public_key();
        signature = pair->sign(as_bytes(message));
        for (std::size_t i = 0; damage & 1 && i < 64; ++i) signature[i] ^= input[33 + i];
        if (damage & 2) FUZZ_CHECK(decode_hex_exact(kSpecialPoints[point & 15], std::span(signature).first(32)));
        for (unsigned i = 0, carry = 0; damage & 4 && i < 32; ++i, carry >>= 8) {  // S + L
            static constexpr std::uint8_t kOrder[16] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                                        0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14};
            carry += signature[32 + i] + (i < 16 ? kOrder[i] : i == 31 ? 0x10 : 0);
            signature[32 + i] = static_cast<std::uint8_t>(carry);
        }
        if (damage & 8) FUZZ_CHECK(decode_hex_exact(kSpecialPoints[point >> 4], key));
    }
    const bool exact = verify_exact(as_bytes(message), signature, key);
    FUZZ_CHECK(verify(as_bytes(message), signature, key) == exact);
    FUZZ_CHECK(verify_hex_with_key(message, to_hex(signature), to_hex(key)) == exact);
    return 0;
}
