#include "credentials/did_key.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "view/multibase.hpp"
#include "json/strings.hpp"

namespace vek::credentials {
namespace {

constexpr std::string_view kPrefix = "did:key:z";
// The unsigned varint of multicodec 0xed, "ed25519-pub".
constexpr std::array<std::uint8_t, 2> kEd25519Codec = {0xed, 0x01};

}  // namespace

std::string did_key_for(const engine::PublicKey& key) {
    std::array<std::uint8_t, kEd25519Codec.size() + std::tuple_size_v<engine::PublicKey>> bytes;
    std::ranges::copy(key, std::ranges::copy(kEd25519Codec, bytes.begin()).out);
    return std::string(kPrefix) + view::base58btc(bytes);
}

Checked<engine::PublicKey> did_key_public_key(std::string_view did) {
    if (!did.starts_with(kPrefix)) {
        return refuse(json::quoted(did) + " is not a did:key DID in base58btc (did:key:z...)");
    }
    const auto bytes = view::base58btc_decode(did.substr(kPrefix.size()));
    if (!bytes || bytes->size() != kEd25519Codec.size() + 32 ||
        !std::equal(kEd25519Codec.begin(), kEd25519Codec.end(), bytes->begin())) {
        return refuse(json::quoted(did) + " is not the did:key DID of an Ed25519 key");
    }
    engine::PublicKey key;
    std::copy(bytes->begin() + kEd25519Codec.size(), bytes->end(), key.begin());
    return key;
}

}  // namespace vek::credentials
