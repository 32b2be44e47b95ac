#include "document/builder_state.hpp"

#include "did/did_syntax.hpp"
#include "document/did_document.hpp"

namespace vek::document {

Result<BuilderState> BuilderState::create(std::string_view did) {
    if (!did::is_valid_did(did)) return std::unexpected(errors::invalid_did);
    return BuilderState(did);
}

void BuilderState::add_verification_method(std::string_view key_id, std::string_view public_key_hex) {
    verification_methods_.push_back(KeyEntry{std::string(key_id), std::string(public_key_hex)});
}

void BuilderState::add_service(std::string_view service_id, std::string_view service_type,
                               std::string_view endpoint) {
    services_.push_back(ServiceRecord{std::string(service_id), std::string(service_type), std::string(endpoint)});
}

Result<std::string> BuilderState::build() const {
    auto document = DIDDocument::create(did_);
    if (!document) return std::unexpected(document.error());
    document->reserve(verification_methods_.size(), authentication_.size(), assertion_methods_.size(),
                      services_.size());
    if (controller_) document->with_controller(*controller_);
    for (const auto& method : verification_methods_) {
        document->with_verification_method(method.key_id, method.public_key_hex);
    }
    for (const auto& key_id : authentication_) document->with_authentication(key_id);
    for (const auto& key_id : assertion_methods_) document->with_assertion_method(key_id);
    for (const auto& service : services_) {
        document->with_service(service.service_id, service.service_type, service.endpoint);
    }
    return document->record_form(json::Layout::Pretty);
}

}  // namespace vek::document
