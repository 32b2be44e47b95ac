#include "engine/verification.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <memory>

#include "engine/hex.hpp"
#include "engine/sodium_runtime.hpp"

namespace vek::engine {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

using PointBytes = std::array<std::uint8_t, 32>;

// The group order L, little-endian.
constexpr PointBytes kGroupOrder = hex_constant<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");

// The y fields (sign bit clear) that libsodium refuses as R or as key: y = 0 (order 4),
// y = 1 (the neutral point), the two y of the points of order 8, y = p - 1 (order 2),
// and the non-canonical y = p and y = p + 1 (the same points as 0 and 1).
constexpr std::array<PointBytes, 7> kSmallOrderY = {
    hex_constant<32>("0000000000000000000000000000000000000000000000000000000000000000"),
    hex_constant<32>("0100000000000000000000000000000000000000000000000000000000000000"),
    hex_constant<32>("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05"),
    hex_constant<32>("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a"),
    hex_constant<32>("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),
    hex_constant<32>("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),
    hex_constant<32>("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),
};

bool is_small_order_y(std::span<const std::uint8_t, 32> point) {
    return std::ranges::any_of(kSmallOrderY, [&](const PointBytes& y) {
        return std::equal(y.begin(), y.end() - 1, point.begin()) && (point[31] & 0x7f) == y[31];
    });
}

// y >= p = 2^255 - 19: bits 8..254 all set and the low byte at least 0xed.
bool is_non_canonical_y(std::span<const std::uint8_t, 32> point) {
    return (point[31] & 0x7f) == 0x7f && std::all_of(point.begin() + 1, point.end() - 1, [](auto b) { return b == 0xff; }) &&
           point[0] >= 0xed;
}

// One digest context per thread, reset before every use: a context initialised once
// keeps its old key if it is not reset, and a second EVP_DigestVerify without a fresh
// initialisation fails on OpenSSL 3.5.
EVP_MD_CTX* thread_context() {
    thread_local MdCtxPtr context{EVP_MD_CTX_new()};
    return context.get();
}

// How far this libsodium's answers can be trusted.
enum class SodiumTrust {
    None,        // OpenSSL answers everything
    Acceptance,  // libsodium's "yes" is final, its "no" is asked again of OpenSSL
    Verdict,     // libsodium's answer is final outside needs_exact_rule
};

bool fast_accepts(std::string_view message_hex, std::string_view signature_hex, std::string_view key_hex) {
    std::array<std::uint8_t, 32> message;
    SignatureBytes signature;
    PublicKey key;
    const bool decoded = decode_hex_exact(message_hex, std::span(message).first(message_hex.size() / 2)) &&
                         decode_hex_exact(signature_hex, signature) && decode_hex_exact(key_hex, key);
    return decoded && verify_fast(std::span(message).first(message_hex.size() / 2), signature, key);
}

// Three known answers, checked once per process:
// - a signature valid only under a cofactored check, which the rule rejects;
// - RFC 8032 TEST 1 (empty message) with S + L in place of S, which the rule rejects;
// - a signature the rule accepts under a key of mixed order (a small-order component
//   added to a point of the main subgroup), which libsodium must accept too, since such
//   keys are not in needs_exact_rule.
SodiumTrust probe_libsodium() {
    ensure_sodium();
    constexpr std::string_view kMixedKey = "cdb267ce40c5cd45306fa5d2f29731459387dbf9eb933b7bd5aed9a765b88d4d";
    const bool refuses_cofactored = !fast_accepts(
        "e47d62c63f830dc7a6851a0b1f33ae4bb2f507fb6cffec4011eaccd55b53f56c",
        "160a1cb0dc9c0258cd0a7d23e94d8fa878bcb1925f2c64246b2dee1796bed512"
        "5ec6bc982a269b723e0668e540911a9a6a58921d6925e434ab10aa7940551a09",
        kMixedKey);
    const bool refuses_s_plus_l = !fast_accepts(
        "",
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
        "4c8c7872aa064e049dbb3013fbf29380d25bf5f0595bbe24655141438e7a101b",
        "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    if (!refuses_cofactored || !refuses_s_plus_l) return SodiumTrust::None;
    const bool accepts_mixed_order = fast_accepts(
        "9bd9f44f4dcc75bd531b56b2cd280b0bb38fc1cd6d1230e14861d861de092e79",
        "9046a64750444938de19f227bb80485e92b83fdb4b6506c160484c016cc1852f"
        "87909e14428a7a1d62e9f22f3d3ad7802db02eb2e688b6c52fcd6648a98bd009",
        kMixedKey);
    return accepts_mixed_order ? SodiumTrust::Verdict : SodiumTrust::Acceptance;
}

}  // namespace

bool verify_exact(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key) {
    PkeyPtr pkey{EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size())};
    bool accepted = false;
    if (pkey) {
        EVP_MD_CTX* context = thread_context();
        EVP_MD_CTX_reset(context);
        accepted = EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey.get()) == 1 &&
                   EVP_DigestVerify(context, signature.data(), signature.size(), message.data(), message.size()) == 1;
    }
    // OpenSSL queues an error for every rejected signature or key; drop them so the
    // thread's queue does not grow.
    ERR_clear_error();
    return accepted;
}

bool verify_fast(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key) {
    return crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) == 0;
}

bool s_below_group_order(const SignatureBytes& signature) {
    // Compared from the most significant byte down; S and L are public.
    for (std::size_t i = 32; i-- > 0;) {
        if (signature[32 + i] != kGroupOrder[i]) return signature[32 + i] < kGroupOrder[i];
    }
    return false;  // S == L
}

bool needs_exact_rule(const SignatureBytes& signature, const PublicKey& key) {
    return is_small_order_y(std::span(signature).first<32>()) || is_small_order_y(key) || is_non_canonical_y(key);
}

bool verify(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key) {
    if (!s_below_group_order(signature)) return false;
    static const SodiumTrust trust = probe_libsodium();
    switch (trust) {
        case SodiumTrust::Verdict:
            return needs_exact_rule(signature, key) ? verify_exact(message, signature, key)
                                                    : verify_fast(message, signature, key);
        case SodiumTrust::Acceptance:
            return verify_fast(message, signature, key) || verify_exact(message, signature, key);
        case SodiumTrust::None:
            break;
    }
    return verify_exact(message, signature, key);
}

bool verify_hex(std::string_view message, std::string_view signature_hex, const PublicKey& key) {
    SignatureBytes signature;
    return decode_hex_exact(signature_hex, signature) && verify(as_bytes(message), signature, key);
}

bool verify_hex_with_key(std::string_view message, std::string_view signature_hex, std::string_view public_key_hex) {
    PublicKey key;
    return decode_hex_exact(public_key_hex, key) && verify_hex(message, signature_hex, key);
}

}  // namespace vek::engine
