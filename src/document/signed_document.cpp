#include "document/signed_document.hpp"

#include "document/did_document.hpp"
#include "document/timestamp.hpp"
#include "record/record_forms.hpp"

namespace vek::document {

Result<std::string> create_signed_document(const engine::KeyPair& key, std::string_view did) {
    auto document = DIDDocument::create(did);  // clock reading T1: "created" and "updated"
    if (!document) return std::unexpected(document.error());
    document->reserve(1, 1, 1, 0);
    document->with_verification_method(kEngineKeyId, key.public_key_hex());
    document->with_authentication(kEngineKeyId);
    document->with_assertion_method(kEngineKeyId);
    document->set_updated(current_timestamp());  // T2, part of the signed bytes

    // One record: written compactly for the signature, then in the value form.
    const record::Record record = document->view();
    const auto signed_text = write_record_text(record, json::Layout::Compact, record::kDeclaredOrder);
    if (!signed_text) return std::unexpected(signed_text.error());

    std::string method_reference(did);
    method_reference.append(1, '#').append(kEngineKeyId);
    const std::string created = current_timestamp();  // T3
    const std::string signature = key.sign_hex(*signed_text);
    return record::signed_value_form(record, record::Proof{nullptr, created, method_reference, signature});
}

}  // namespace vek::document
