// The whole check of a secured credential in one pass: its proof read and hashed, its times
// against the verifier's clock, its issuer's key found, the signature verified. A did:vek
// issuer's key comes from a table of known histories; without one, the check stops before
// the key and says what to look for, so that the caller can ask a registry.
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

// A did:vek key to be looked up elsewhere, and what its signature must verify.
struct KeyQuery {
    // The version in force is the last one updated at or before this time, "created" in whole
    // seconds in UTC; none when "created" lies before any time a version can have.
    std::optional<std::string> at;
    HashData hash_data{};
    engine::SignatureBytes signature{};
};

struct CredentialVerdict {
    std::string did;  // the issuer, whose key signed
    std::string verification_method;
    std::string key_id;
    std::optional<std::string> created;
    // False for proofs whose configuration was hashed without "@context".
    bool standard_proof = false;
    // Set once the signature verified with it.
    std::optional<engine::PublicKey> public_key;
    std::optional<std::string> version_id;  // of a did:vek issuer's history
    bool current = true;
    // Set instead of the key when a did:vek issuer's key must be looked up elsewhere.
    std::optional<KeyQuery> query;
};

// Checks `secured` at `now`. A did:vek issuer's key comes from `known`; without a table
// (nullptr) such a verdict carries a query instead of a key.
Checked<CredentialVerdict> check_credential(std::string_view secured, Microseconds now, const IssuerKeys* known);

}  // namespace vek::credentials
