// The whole check of a secured credential in one pass: its proof read and hashed, its times
// against the verifier's clock, its issuer's key found, the signature verified. A did:vek
// issuer's key comes from a table of known histories; for one the table does not hold, the
// check stops before the key, so that the caller can resolve the issuer and check again.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/refusal.hpp"
#include "credentials/date_time.hpp"
#include "credentials/eddsa_jcs.hpp"
#include "credentials/issuer_keys.hpp"
#include "engine/key_pair.hpp"

namespace vek::credentials {

// How far a proof's "created" may lie ahead of the verifier's clock: clocks disagree a little.
constexpr Microseconds kClockSkew = 5 * 60 * kMicrosecondsPerSecond;

struct CredentialVerdict {
    std::string did;  // the issuer, whose key signed
    std::string verification_method;
    std::string key_id;
    std::optional<std::string> created;
    // False for proofs whose configuration was hashed without "@context".
    bool standard_proof = false;
    // Set once the signature verified with it; unset for a did:vek issuer that the table
    // does not hold, whose history is still to be found.
    std::optional<engine::PublicKey> public_key;
    std::optional<std::string> version_id;  // of a did:vek issuer's history
    bool current = true;
};

// Checks `secured` at `now`. A did:vek issuer's key comes from `known` (or none); for an
// issuer it does not hold, the verdict has no key.
Checked<CredentialVerdict> check_credential(std::string_view secured, Microseconds now, const IssuerKeys* known);

}  // namespace vek::credentials
