// Data Integrity proofs of the cryptosuite "eddsa-jcs-2022": Ed25519 over the SHA-256 of the
// canonical proof configuration followed by the SHA-256 of the canonical credential.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/key_pair.hpp"
#include "common/refusal.hpp"

namespace vek::credentials {

using HashData = std::array<std::uint8_t, 64>;

// The 64 bytes signed: SHA-256 of the canonical proof configuration, then of the document.
HashData hash_data(std::string_view canonical_proof_configuration, std::string_view canonical_document);

// `credential` (a JSON object with "@context", "type" and "issuer" and no "proof") with a proof
// by `key` appended as its last member; the rest of the text stays as it was. The proof
// configuration carries the credential's "@context", as the suite defines it. An empty
// `created` is the time of signing.
Checked<std::string> issue_credential(const engine::KeyPair& key, std::string_view credential,
                                              std::string_view verification_method, std::string_view created);

// What a verifier needs of a secured credential once its proof is read and hashed; the
// signature is not checked yet, since the key depends on the verification method.
struct ProofReading {
    std::string issuer;  // the issuer's id
    std::string verification_method;
    std::optional<std::string> created;
    std::optional<std::string> valid_from;
    std::optional<std::string> valid_until;
    // False for proofs whose configuration was hashed without "@context".
    bool context_in_proof = false;
    HashData hash_data{};
    engine::SignatureBytes signature{};
};

Checked<ProofReading> read_proof(std::string_view secured);

}  // namespace vek::credentials
