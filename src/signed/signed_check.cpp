#include "signed/signed_check.hpp"

#include "engine/hex.hpp"
#include "engine/key_did.hpp"
#include "engine/verification.hpp"
#include "json/strings.hpp"
#include "record/record_forms.hpp"

namespace vek::record {

using json::JsonDocument;
using json::Node;
using json::parse_strict;
using json::quoted;

Checked<SignedParts> check_signed(const Node& value, std::string_view source) {
    auto wrapper = check_wrapper(value);
    if (!wrapper) return std::unexpected(std::move(wrapper.error()));
    auto record = check_document(*wrapper->first);
    if (!record) return std::unexpected(std::move(record.error()));
    record->source = source;
    auto proof = check_proof(*wrapper->second, record->id);
    if (!proof) return std::unexpected(std::move(proof.error()));
    std::string compact = compact_record_form(*record);
    return SignedParts{std::move(*record), *proof, std::move(compact)};
}

Checked<SignedReading> read_signed(std::string_view text) {
    auto parsed = parse_strict(text);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    auto json = std::make_unique<JsonDocument>(std::move(*parsed));
    auto parts = check_signed(json->root, text);
    if (!parts) return std::unexpected(std::move(parts.error()));
    return SignedReading{std::move(json), std::move(*parts)};
}

Checked<RecordReading> read_record(std::string_view text) {
    auto parsed = parse_strict(text);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    auto json = std::make_unique<JsonDocument>(std::move(*parsed));
    auto record = check_document(json->root);
    if (!record) return std::unexpected(std::move(record.error()));
    record->source = text;
    std::string compact = compact_record_form(*record);
    return RecordReading{std::move(json), std::move(*record), std::move(compact)};
}

bool signature_verifies(const SignedParts& parts, std::string_view public_key) {
    return engine::verify_hex_with_key(parts.compact, parts.proof.value, public_key);
}

namespace {

bool is_derived_from(std::string_view did, std::string_view public_key_hex) {
    engine::PublicKey key;
    return engine::decode_hex_exact(public_key_hex, key) && engine::did_from_public_key(key) == did;
}

}  // namespace

Checked<VerifiedReading> verify_signed(std::string_view text) {
    auto reading = read_signed(text);
    if (!reading) return std::unexpected(std::move(reading.error()));
    const SignedParts& parts = reading->parts;
    const auto key = parts.record.assertion_key(parts.proof.method);
    if (!key) {
        return refuse("proof.verificationMethod " + quoted(parts.proof.method) + " is not in document.assertionMethod");
    }
    if (!signature_verifies(parts, *key)) {
        return refuse("proof.proofValue does not verify: the document is not what its key signed");
    }
    const bool key_derived = is_derived_from(parts.record.id, *key);
    return VerifiedReading{std::move(*reading), *key, key_derived};
}

Checked<std::string> sign_record(std::string_view text, std::string_view key_id, std::string_view now,
                                 const engine::KeyPair& key) {
    auto reading = read_record(text);
    if (!reading) return std::unexpected(std::move(reading.error()));
    std::string method(reading->record.id);
    method.append(1, '#').append(key_id);
    const std::string signature = key.sign_hex(reading->compact);
    std::string out;
    append_signed_value_form(out, reading->record, Proof{nullptr, now, method, signature});
    return out;
}

}  // namespace vek::record
