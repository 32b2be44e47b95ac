// The DID document record, the operations that fill it and its three JSON text forms.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/domain_error.hpp"

namespace vek::document {

inline constexpr std::string_view kDidCoreContext = "https://www.w3.org/ns/did/v1";
inline constexpr std::string_view kEd25519SuiteContext = "https://w3id.org/security/suites/ed25519-2020/v1";
// The method's own JSON-LD context: our host, the fixed path "/ns/vek/v1".
inline constexpr std::string_view kVekContext = "https://did-vek.dev/ns/vek/v1";
inline constexpr std::string_view kVerificationKeyType = "Ed25519VerificationKey2020";

struct VerificationMethod {
    std::string id;
    std::string type;
    std::string controller;
    std::optional<std::string> public_key_multibase;
    std::optional<std::string> public_key_hex;
};

struct ServiceEntry {
    std::string id;
    std::string type;
    std::string service_endpoint;
};

// Record objects keep their declared member order; value objects sort members by key bytes.
using RecordJson = nlohmann::ordered_json;
using JsonValue = nlohmann::json;

class DIDDocument {
public:
    // A document for a DID that passes the DID check, "created" and "updated" from one
    // clock reading; "Invalid DID" otherwise.
    static Result<DIDDocument> create(std::string_view did);

    void with_controller(std::string_view controller);
    void with_verification_method(std::string_view key_id, std::string_view public_key_hex);
    void with_authentication(std::string_view key_id);
    void with_assertion_method(std::string_view key_id);
    void with_service(std::string_view service_id, std::string_view service_type, std::string_view endpoint);
    void set_updated(std::string timestamp) { updated_ = std::move(timestamp); }

    // Capacity hints for a producer that knows how many entries it will add.
    void reserve(std::size_t methods, std::size_t authentications, std::size_t assertions, std::size_t services);

    // The record tree (declared member order) and the text and value forms. They consume
    // the document: its texts move into the JSON tree instead of being copied.
    RecordJson to_record_json() &&;
    Result<std::string> to_compact_json() &&;
    Result<std::string> to_pretty_json() &&;
    JsonValue to_json_value() &&;

private:
    explicit DIDDocument(std::string_view did, std::string timestamp);
    std::string reference(std::string_view fragment) const;

    std::string id_;
    std::optional<std::string> controller_;
    std::vector<VerificationMethod> verification_methods_;
    std::vector<std::string> authentication_;
    std::vector<std::string> assertion_methods_;
    std::vector<ServiceEntry> services_;
    std::optional<std::string> created_;
    std::optional<std::string> updated_;
};

// The value form of a record tree: the same members, every object sorted by key. The
// record's texts move into the result.
JsonValue value_of(RecordJson&& record);

// Writes `json` compactly (indent < 0) or with the two-space pretty layout; any failure
// of the writer (invalid UTF-8, allocation) becomes "Serialization failed".
template <class Json>
Result<std::string> write_json(const Json& json, int indent);

}  // namespace vek::document
