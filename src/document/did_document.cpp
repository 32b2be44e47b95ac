#include "document/did_document.hpp"

#include "did/did_syntax.hpp"
#include "document/timestamp.hpp"

namespace vek::document {

Result<DIDDocument> DIDDocument::create(std::string_view did) {
    if (!did::is_valid_did(did)) return std::unexpected(errors::invalid_did);
    return DIDDocument(did, current_timestamp());
}

DIDDocument::DIDDocument(std::string_view did, std::string timestamp)
    : id_(did), created_(timestamp), updated_(std::move(timestamp)) {}

std::string DIDDocument::reference(std::string_view fragment) const {
    std::string text;
    text.reserve(id_.size() + 1 + fragment.size());
    text.append(id_).append(1, '#').append(fragment);
    return text;
}

void DIDDocument::reserve(std::size_t methods, std::size_t authentications, std::size_t assertions,
                          std::size_t services) {
    verification_methods_.reserve(methods);
    authentication_.reserve(authentications);
    assertion_methods_.reserve(assertions);
    services_.reserve(services);
}

void DIDDocument::with_controller(std::string_view controller) { controller_.emplace(controller); }

void DIDDocument::with_verification_method(std::string_view key_id, std::string_view public_key_hex) {
    verification_methods_.push_back(VerificationMethod{
        reference(key_id), std::string(kVerificationKeyType), id_, std::nullopt, std::string(public_key_hex)});
}

void DIDDocument::with_authentication(std::string_view key_id) { authentication_.push_back(reference(key_id)); }

void DIDDocument::with_assertion_method(std::string_view key_id) { assertion_methods_.push_back(reference(key_id)); }

void DIDDocument::with_service(std::string_view service_id, std::string_view service_type,
                               std::string_view endpoint) {
    services_.push_back(ServiceEntry{reference(service_id), std::string(service_type), std::string(endpoint)});
}

// One builder for both member orders: an ordered_json object keeps the insertion order
// below (the declared order), a json object sorts its members by key bytes.
template <class Json>
Json DIDDocument::to_json() const {
    Json json = Json::object();
    json["@context"] = {kDidCoreContext, kEd25519SuiteContext, kVekContext};
    json["id"] = id_;
    if (controller_) json["controller"] = *controller_;
    if (!verification_methods_.empty()) {
        Json& methods = json["verificationMethod"] = Json::array();
        for (const auto& method : verification_methods_) {
            Json entry = {{"id", method.id}, {"type", method.type}, {"controller", method.controller}};
            if (method.public_key_multibase) entry["publicKeyMultibase"] = *method.public_key_multibase;
            if (method.public_key_hex) entry["publicKeyHex"] = *method.public_key_hex;
            methods.push_back(std::move(entry));
        }
    }
    if (!authentication_.empty()) json["authentication"] = authentication_;
    if (!assertion_methods_.empty()) json["assertionMethod"] = assertion_methods_;
    if (!services_.empty()) {
        Json& services = json["service"] = Json::array();
        for (const auto& service : services_) {
            services.push_back({{"id", service.id}, {"type", service.type}, {"serviceEndpoint", service.service_endpoint}});
        }
    }
    if (created_) json["created"] = *created_;
    if (updated_) json["updated"] = *updated_;
    return json;
}

template <class Json>
Result<std::string> write_json(const Json& json, int indent) {
    try {
        return json.dump(indent);
    } catch (const nlohmann::json::exception&) {
        return std::unexpected(errors::serialization_failed);
    }
}

template Result<std::string> write_json(const RecordJson&, int);
template Result<std::string> write_json(const JsonValue&, int);

Result<std::string> DIDDocument::to_compact_json() const { return write_json(to_json<RecordJson>(), -1); }

Result<std::string> DIDDocument::to_pretty_json() const { return write_json(to_json<RecordJson>(), 2); }

JsonValue DIDDocument::to_json_value() const { return to_json<JsonValue>(); }

}  // namespace vek::document
