#include "engine/key_did.hpp"

#include <sodium.h>

#include <array>

#include "did/did_syntax.hpp"
#include "engine/hex.hpp"

namespace vek::engine {

std::string did_with_id(std::string_view id) {
    std::string did;
    did.reserve(did::kMethodPrefix.size() + id.size());
    did.append(did::kMethodPrefix).append(id);
    return did;
}

std::string did_from_public_key(const PublicKey& key) {
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest;
    crypto_hash_sha256(digest.data(), key.data(), key.size());
    // 16 hex digits are the first 8 bytes of the digest.
    return did_with_id(to_hex(std::span(digest).first<8>()));
}

}  // namespace vek::engine
