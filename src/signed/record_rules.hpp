// The record rules: which DID documents and proofs a signed document may hold, member by
// member. Anything outside them is refused, not ignored: a verifier that rebuilt only the
// members it knows would accept a document into which someone put unsigned members, and a
// key that also signs chosen texts could be made to sign a document of any shape.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "signed/strict_json.hpp"

namespace vek::record {

inline constexpr std::array<std::string_view, 3> kContexts = {
    "https://www.w3.org/ns/did/v1", "https://w3id.org/security/suites/ed25519-2020/v1",
    "https://did-vek.dev/ns/vek/v1"};
inline constexpr std::string_view kKeyType = "Ed25519VerificationKey2020";
inline constexpr std::string_view kProofType = "Ed25519Signature2020";
inline constexpr std::string_view kProofPurpose = "assertionMethod";

struct MethodEntry {
    std::string_view id, type, controller, public_key_hex;
};

struct ServiceEntry {
    std::string_view id, type, endpoint;
};

// A DID document that obeys the record rules; views into its parsed text.
struct Record {
    const Node* node = nullptr;
    std::string_view id;
    std::optional<std::string_view> controller;
    std::vector<MethodEntry> methods;
    std::vector<std::string_view> authentication;
    std::vector<std::string_view> assertion;  // empty: the document has no "assertionMethod"
    std::vector<ServiceEntry> services;
    std::string_view created, updated;

    // The "publicKeyHex" of `method` when the document lists it for assertion.
    std::optional<std::string_view> assertion_key(std::string_view method) const;
};

// A proof of this method for a document of one DID.
struct Proof {
    const Node* node = nullptr;
    std::string_view created, method, value;
};

// The "document" and "proof" members of a signed document, neither checked yet.
Checked<std::pair<const Node*, const Node*>> check_wrapper(const Node& value);

// `value` as a record if it obeys the record rules.
Checked<Record> check_document(const Node& value);

// `value` as a proof if it is one of this method for a document of `did`.
Checked<Proof> check_proof(const Node& value, std::string_view did);

// A refusal unless `text` is a real UTC time written "YYYY-MM-DDThh:mm:ssZ"; `where` names
// the member in the message.
Checked<void> check_timestamp(std::string_view text, std::string_view where);

}  // namespace vek::record
