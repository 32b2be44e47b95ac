// did:key DIDs of Ed25519 keys: "did:key:z" and base58btc of the multicodec prefix 0xed 0x01
// followed by the 32 key bytes. Resolved locally: the DID is the key.
#pragma once

#include <string>
#include <string_view>

#include "engine/key_pair.hpp"
#include "common/refusal.hpp"

namespace vek::credentials {

std::string did_key_for(const engine::PublicKey& key);

// The key of a did:key DID (without fragment); refused when it is not an Ed25519 key.
Checked<engine::PublicKey> did_key_public_key(std::string_view did);

}  // namespace vek::credentials
