#include "engine/key_pair.hpp"

#include <sodium.h>

#include <algorithm>

#include "engine/hex.hpp"
#include "engine/random_source.hpp"
#include "engine/sodium_runtime.hpp"

namespace vek::engine {
namespace {

constexpr std::size_t kSeedBytes = crypto_sign_SEEDBYTES;
static_assert(kSeedBytes == 32 && crypto_sign_SECRETKEYBYTES == 64 && crypto_sign_BYTES == 64);

}  // namespace

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

KeyPair KeyPair::generate() {
    ensure_sodium();
    KeyPair pair;  // its destructor wipes the seed if anything below throws
    fill_random(std::span(pair.secret_key_).first<kSeedBytes>());
    pair.derive_public_key();
    return pair;
}

Result<KeyPair> KeyPair::from_secret_hex(std::string_view secret_hex) {
    // Decoding comes before the length test: odd or non-hex text is "Invalid hex string"
    // whatever its length.
    if (!is_hex(secret_hex)) return std::unexpected(errors::invalid_hex);
    if (secret_hex.size() != kSeedBytes * 2) return std::unexpected(errors::secret_key_length);
    ensure_sodium();
    KeyPair pair;
    decode_hex_exact(secret_hex, std::span(pair.secret_key_).first<kSeedBytes>());
    pair.derive_public_key();
    return pair;
}

KeyPair::KeyPair(KeyPair&& other) noexcept : secret_key_(other.secret_key_), public_key_(other.public_key_) {
    sodium_memzero(other.secret_key_.data(), other.secret_key_.size());
}

KeyPair::~KeyPair() { sodium_memzero(secret_key_.data(), secret_key_.size()); }

void KeyPair::derive_public_key() {
    // crypto_sign_seed_keypair reads the seed from its own buffer and writes seed || A
    // back; the expanded secret it derives on the way is wiped inside libsodium.
    std::array<std::uint8_t, kSeedBytes> seed;
    std::copy_n(secret_key_.begin(), kSeedBytes, seed.begin());
    crypto_sign_seed_keypair(public_key_.data(), secret_key_.data(), seed.data());
    sodium_memzero(seed.data(), seed.size());
}

std::string KeyPair::public_key_hex() const { return to_hex(public_key_); }

std::string KeyPair::public_key_multibase() const {
    // "f" is the multibase prefix of lower-case base16.
    std::string text = to_hex(public_key_);
    text.insert(text.begin(), 'f');
    return text;
}

SignatureBytes KeyPair::sign(std::span<const std::uint8_t> message) const {
    SignatureBytes signature;
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), secret_key_.data());
    return signature;
}

std::string KeyPair::sign_hex(std::string_view message) const { return to_hex(sign(as_bytes(message))); }

}  // namespace vek::engine
