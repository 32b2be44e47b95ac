// Ed25519 verification under one exact rule: cofactorless, S below the group order,
// R compared as bytes, small-order points allowed, lenient decoding of the public key.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/key_pair.hpp"

namespace vek::engine {

// The rule, answered by OpenSSL, whose Ed25519 verification is exactly this rule.
bool verify_exact(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key);

// libsodium's stricter verification. Whatever it accepts, the rule accepts too, so a
// "yes" here is final; a "no" must be asked again of verify_exact.
bool verify_fast(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key);

// The combined answer: the fast path, then the exact one when the fast path says no.
// Falls back to verify_exact alone if libsodium ever accepts what the rule rejects.
bool verify(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key);

// The text entry points: every defect of a hex text yields false.
bool verify_hex(std::string_view message, std::string_view signature_hex, const PublicKey& key);
bool verify_hex_with_key(std::string_view message, std::string_view signature_hex, std::string_view public_key_hex);

}  // namespace vek::engine
