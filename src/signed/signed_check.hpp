// Signed documents read, checked and verified in one pass over their text, with no Python
// object involved, so that a caller can give up the interpreter lock for all of it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/key_pair.hpp"
#include "json/reader.hpp"
#include "signed/record_rules.hpp"

namespace vek::record {

// A signed document that obeys the record rules, and the text its signature covers; the
// signature is not checked yet. Views into the parsed text and the source.
struct SignedParts {
    Record record;
    Proof proof;
    std::string compact;

    // The fragment of the signing key's reference, after the DID and "#".
    std::string_view key_id() const { return proof.method.substr(record.id.size() + 1); }
};

// The parts of `value`, a signed document parsed from `source`, if it is one.
Checked<SignedParts> check_signed(const json::Node& value, std::string_view source);

// A parsed text and what was read from it. The tree is held by pointer, so the views into it
// stay valid when the reading moves.
struct SignedReading {
    std::unique_ptr<json::JsonDocument> json;
    SignedParts parts;
};

struct RecordReading {
    std::unique_ptr<json::JsonDocument> json;
    Record record;
    std::string compact;
};

// A signed document in `text` (any layout).
Checked<SignedReading> read_signed(std::string_view text);

// A DID document in the record form in `text` (any layout).
Checked<RecordReading> read_record(std::string_view text);

// A signed document that verifies on its own: signed by one of its own assertion keys.
struct VerifiedReading {
    SignedReading reading;
    std::string_view public_key;
    // The DID is the key-derived DID of that key.
    bool key_derived = false;
};

Checked<VerifiedReading> verify_signed(std::string_view text);

// Whether `signature` (hex) by `public_key` (hex) verifies over `compact`.
bool signature_verifies(const SignedParts& parts, std::string_view public_key);

// The signed document of the record in `text`, in the value form, signed by `key` as the key
// `key_id` of its DID at the time `now`.
Checked<std::string> sign_record(std::string_view text, std::string_view key_id, std::string_view now,
                                 const engine::KeyPair& key);

}  // namespace vek::record
