#include "document/did_document.hpp"

#include "did/did_syntax.hpp"
#include "document/timestamp.hpp"
#include "record/record_forms.hpp"

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
    verification_methods_.push_back(KeyEntry{reference(key_id), std::string(public_key_hex)});
}

void DIDDocument::with_authentication(std::string_view key_id) { authentication_.push_back(reference(key_id)); }

void DIDDocument::with_assertion_method(std::string_view key_id) { assertion_methods_.push_back(reference(key_id)); }

void DIDDocument::with_service(std::string_view service_id, std::string_view service_type,
                               std::string_view endpoint) {
    services_.push_back(ServiceEntry{reference(service_id), std::string(service_type), std::string(endpoint)});
}

record::Record DIDDocument::view() const {
    record::Record record;
    record.id = id_;
    if (controller_) record.controller = *controller_;
    record.methods.reserve(verification_methods_.size());
    for (const KeyEntry& method : verification_methods_) {
        record.methods.push_back({method.id, record::kKeyType, id_, method.public_key_hex});
    }
    record.authentication.assign(authentication_.begin(), authentication_.end());
    record.assertion.assign(assertion_methods_.begin(), assertion_methods_.end());
    record.services.reserve(services_.size());
    for (const ServiceEntry& service : services_) record.services.push_back({service.id, service.type, service.endpoint});
    record.created = created_;
    record.updated = updated_;
    return record;
}

Result<std::string> DIDDocument::record_form(json::Layout layout) const {
    return write_record_text(view(), layout, record::kDeclaredOrder);
}

Result<std::string> write_record_text(const record::Record& record, json::Layout layout,
                                      const record::FormOrder& order) {
    std::string out;
    out.reserve((layout == json::Layout::Pretty ? 2 : 1) * record::form_size(record));
    bool utf8 = false;
    {
        json::Writer writer(out, layout);
        record::write_record(writer, record, order);
        utf8 = writer.utf8();
    }
    if (!utf8) return std::unexpected(errors::serialization_failed);
    return out;
}

}  // namespace vek::document
