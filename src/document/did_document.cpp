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

namespace {

// An empty record object with room for `members`. Its members live in a vector whose keys
// are const, so growing it would copy every key.
RecordJson object_with_room(std::size_t members) {
    RecordJson json = RecordJson::object();
    json.get_ref<RecordJson::object_t&>().reserve(members);
    return json;
}

template <class Json>
Json array_with_room(std::size_t items) {
    Json json = Json::array();
    json.template get_ref<typename Json::array_t&>().reserve(items);
    return json;
}

RecordJson string_array(std::vector<std::string>& texts) {
    RecordJson json = array_with_room<RecordJson>(texts.size());
    auto& items = json.get_ref<RecordJson::array_t&>();
    for (auto& text : texts) items.emplace_back(std::move(text));
    return json;
}

}  // namespace

// The document is consumed: every text moves into the tree, which is built once.
RecordJson DIDDocument::to_record_json() && {
    RecordJson json = object_with_room(9);
    RecordJson& contexts = json["@context"] = array_with_room<RecordJson>(3);
    for (const std::string_view context : {kDidCoreContext, kEd25519SuiteContext, kVekContext}) {
        contexts.push_back(context);
    }
    json["id"] = std::move(id_);
    if (controller_) json["controller"] = std::move(*controller_);
    if (!verification_methods_.empty()) {
        RecordJson& methods = json["verificationMethod"] = array_with_room<RecordJson>(verification_methods_.size());
        for (auto& method : verification_methods_) {
            RecordJson entry = object_with_room(5);
            entry["id"] = std::move(method.id);
            entry["type"] = std::move(method.type);
            entry["controller"] = std::move(method.controller);
            if (method.public_key_multibase) entry["publicKeyMultibase"] = std::move(*method.public_key_multibase);
            if (method.public_key_hex) entry["publicKeyHex"] = std::move(*method.public_key_hex);
            methods.push_back(std::move(entry));
        }
    }
    if (!authentication_.empty()) json["authentication"] = string_array(authentication_);
    if (!assertion_methods_.empty()) json["assertionMethod"] = string_array(assertion_methods_);
    if (!services_.empty()) {
        RecordJson& services = json["service"] = array_with_room<RecordJson>(services_.size());
        for (auto& service : services_) {
            RecordJson entry = object_with_room(3);
            entry["id"] = std::move(service.id);
            entry["type"] = std::move(service.type);
            entry["serviceEndpoint"] = std::move(service.service_endpoint);
            services.push_back(std::move(entry));
        }
    }
    if (created_) json["created"] = std::move(*created_);
    if (updated_) json["updated"] = std::move(*updated_);
    return json;
}

JsonValue value_of(RecordJson&& record) {
    switch (record.type()) {
        case RecordJson::value_t::object: {
            JsonValue value = JsonValue::object();
            for (auto& [key, member] : record.get_ref<RecordJson::object_t&>()) {
                value.emplace(key, value_of(std::move(member)));
            }
            return value;
        }
        case RecordJson::value_t::array: {
            auto& items = record.get_ref<RecordJson::array_t&>();
            JsonValue value = array_with_room<JsonValue>(items.size());
            for (auto& item : items) value.push_back(value_of(std::move(item)));
            return value;
        }
        case RecordJson::value_t::string:
            return JsonValue(std::move(record.get_ref<std::string&>()));
        default:  // numbers, truth values and null hold no text to move
            return JsonValue(record);
    }
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

Result<std::string> DIDDocument::to_compact_json() && { return write_json(std::move(*this).to_record_json(), -1); }

Result<std::string> DIDDocument::to_pretty_json() && { return write_json(std::move(*this).to_record_json(), 2); }

JsonValue DIDDocument::to_json_value() && { return value_of(std::move(*this).to_record_json()); }

}  // namespace vek::document
