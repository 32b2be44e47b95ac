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

// libsodium's verification. It differs from the rule only where it refuses an input
// before any arithmetic (see needs_exact_rule); elsewhere its answer is the rule's.
bool verify_fast(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key);

// True when S, read little-endian, is below the group order L. Both libraries refuse
// every other S, and so does the rule.
bool s_below_group_order(const SignatureBytes& signature);

// True for the inputs libsodium refuses up front but the rule may accept: an R or a key
// whose y field (sign bit ignored) encodes a point of small order, or a key whose y field
// is p or more. Decided from the public bytes alone.
bool needs_exact_rule(const SignatureBytes& signature, const PublicKey& key);

// The rule's answer in one pass: S >= L is false at once, the inputs of needs_exact_rule
// go to OpenSSL and every other input gets libsodium's verdict. Should this libsodium
// ever answer a known case differently, it degrades to asking OpenSSL more often.
bool verify(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key);

// The text entry points: every defect of a hex text yields false.
bool verify_hex(std::string_view message, std::string_view signature_hex, const PublicKey& key);
bool verify_hex_with_key(std::string_view message, std::string_view signature_hex, std::string_view public_key_hex);

}  // namespace vek::engine
