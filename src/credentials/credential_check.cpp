#include "credentials/credential_check.hpp"

#include "credentials/did_key.hpp"
#include "engine/verification.hpp"
#include "json/strings.hpp"

namespace vek::credentials {
namespace {

using json::quoted;

constexpr std::string_view kDidKey = "did:key:";
constexpr std::string_view kDidVek = "did:vek:";

Checked<Microseconds> moment(std::string_view text, std::string_view what) {
    const auto read = read_date_time(text);
    if (!read) {
        return refuse(std::string(what) + " " + quoted(text) +
                      " is not a date and time with its zone (YYYY-MM-DDThh:mm:ssZ)");
    }
    return *read;
}

// "created" against the clock, then the validity period; the moment of "created".
Checked<std::optional<Microseconds>> check_times(const ProofReading& reading, Microseconds now) {
    std::optional<Microseconds> created;
    if (reading.created) {
        auto at = moment(*reading.created, "the proof's \"created\"");
        if (!at) return std::unexpected(std::move(at.error()));
        if (*at > now + kClockSkew) return refuse("the proof was created in the future (" + *reading.created + ")");
        created = *at;
    }
    if (reading.valid_from) {
        auto from = moment(*reading.valid_from, "\"validFrom\"");
        if (!from) return std::unexpected(std::move(from.error()));
        if (*from > now) return refuse("the credential is not valid before " + *reading.valid_from);
    }
    if (reading.valid_until) {
        auto until = moment(*reading.valid_until, "\"validUntil\"");
        if (!until) return std::unexpected(std::move(until.error()));
        if (*until < now) return refuse("the credential was valid until " + *reading.valid_until);
    }
    return created;
}

Checked<engine::PublicKey> did_key_of(const CredentialVerdict& verdict) {
    // A did:key DID's one key is named by the DID's own multibase text.
    if (verdict.key_id != std::string_view(verdict.did).substr(kDidKey.size())) {
        return refuse(quoted(verdict.did) + " has no key " + quoted(verdict.key_id));
    }
    return did_key_public_key(verdict.did);
}

}  // namespace

Checked<CredentialVerdict> check_credential(std::string_view secured, Microseconds now, const IssuerKeys* known) {
    auto reading = read_proof(secured);
    if (!reading) return std::unexpected(std::move(reading.error()));
    CredentialVerdict verdict;
    verdict.verification_method = std::move(reading->verification_method);
    const std::string_view method = verdict.verification_method;
    const std::size_t hash = method.find('#');
    if (hash == std::string_view::npos || hash + 1 == method.size()) {
        return refuse("the verification method " + quoted(method) + " names no key (DID#ID)");
    }
    verdict.did = method.substr(0, hash);
    verdict.key_id = method.substr(hash + 1);
    if (verdict.did != reading->issuer) {
        return refuse("the proof's key " + quoted(method) + " is not one of the issuer " + quoted(reading->issuer));
    }
    auto created = check_times(*reading, now);
    if (!created) return std::unexpected(std::move(created.error()));
    verdict.created = std::move(reading->created);
    verdict.standard_proof = reading->context_in_proof;

    const std::string& did = verdict.did;
    if (did.starts_with(kDidKey)) {
        auto key = did_key_of(verdict);
        if (!key) return std::unexpected(std::move(key.error()));
        verdict.public_key = *key;
    } else if (did.starts_with(kDidVek)) {
        if (!*created) return refuse("a proof by a did:vek key needs \"created\": the key is checked at that time");
        if (known == nullptr || !known->knows(did)) return verdict;
        const KeyInForce found = known->at(did, method, whole_second(**created));
        if (found.version == nullptr) return refuse("the issuer " + did + " did not exist yet at " + *verdict.created);
        if (found.key == nullptr) {
            return refuse(quoted(method) + " was not an assertion key of " + did + " at " + *verdict.created +
                          " (version " + found.version->id + ")");
        }
        verdict.public_key = *found.key;
        verdict.version_id = found.version->id;
        verdict.current = found.current;
    } else {
        return refuse("the issuer " + quoted(did) + " is neither a did:vek nor a did:key DID");
    }
    if (!engine::verify(reading->hash_data, reading->signature, *verdict.public_key)) {
        return refuse("the proof does not verify: the credential or its proof was changed, or another key signed it");
    }
    return verdict;
}

}  // namespace vek::credentials
