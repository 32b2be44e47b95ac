// The engine's signed DID document: its key as the one verification method, the compact
// record form signed, the value form returned with the proof beside it.
#pragma once

#include <string>
#include <string_view>

#include "common/domain_error.hpp"
#include "engine/key_pair.hpp"

namespace vek::document {

inline constexpr std::string_view kEngineKeyId = "key-1";

Result<std::string> create_signed_document(const engine::KeyPair& key, std::string_view did);

}  // namespace vek::document
