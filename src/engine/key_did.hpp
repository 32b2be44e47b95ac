// DIDs issued by an engine: a caller's identifier, or one derived from the public key.
#pragma once

#include <string>
#include <string_view>

#include "engine/key_pair.hpp"

namespace vek::engine {

// "did:vek:" followed by `id`, unchecked and unchanged.
std::string did_with_id(std::string_view id);

// "did:vek:" followed by the first 16 lower-case hex digits of SHA-256(public key bytes).
std::string did_from_public_key(const PublicKey& key);

}  // namespace vek::engine
