// An Ed25519 key pair that owns its secret seed and wipes it on every path out.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/domain_error.hpp"

namespace vek::engine {

using PublicKey = std::array<std::uint8_t, 32>;
using SignatureBytes = std::array<std::uint8_t, 64>;

class KeyPair {
public:
    // A fresh seed from the operating system's random source. Throws on a failing source.
    static KeyPair generate();
    // A seed given as 64 hex digits of either case.
    static Result<KeyPair> from_secret_hex(std::string_view secret_hex);

    KeyPair(KeyPair&& other) noexcept;
    KeyPair(const KeyPair&) = delete;
    KeyPair& operator=(const KeyPair&) = delete;
    KeyPair& operator=(KeyPair&&) = delete;
    ~KeyPair();

    const PublicKey& public_key() const { return public_key_; }
    std::string public_key_hex() const;
    std::string public_key_multibase() const;

    // Deterministic RFC 8032 signature of `message`.
    SignatureBytes sign(std::span<const std::uint8_t> message) const;
    std::string sign_hex(std::string_view message) const;

private:
    KeyPair() = default;
    void derive_public_key();

    // libsodium's secret key layout: the 32-byte seed followed by the public key.
    std::array<std::uint8_t, 64> secret_key_{};
    PublicKey public_key_{};
};

std::span<const std::uint8_t> as_bytes(std::string_view text);

}  // namespace vek::engine
