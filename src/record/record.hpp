// A DID document that obeys the record rules, and its proof, as views of texts held
// elsewhere: of a parsed text when read, of a document's own strings when written.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "json/reader.hpp"
#include "record/schema.hpp"

namespace vek::record {

struct MethodEntry {
    std::string_view id, type, controller, public_key_hex;
};

struct ServiceEntry {
    std::string_view id, type, endpoint;
};

// The texts of an entry by member, in the order of kMethodMembers and kServiceMembers.
inline std::array<std::string_view, kMethodMembers.size()> texts_of(const MethodEntry& entry) {
    return {entry.id, entry.type, entry.controller, entry.public_key_hex};
}
inline std::array<std::string_view, kServiceMembers.size()> texts_of(const ServiceEntry& entry) {
    return {entry.id, entry.type, entry.endpoint};
}

struct Record {
    // The parsed object the record was read from; null for a record about to be written.
    const json::Node* node = nullptr;
    // The JSON text it was read from, if it was: the record's views into it are written as
    // they are (json::Writer::trust_views_of).
    std::string_view source;
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
    const json::Node* node = nullptr;
    std::string_view created, method, value;
};

}  // namespace vek::record
