#include "document/signed_document.hpp"

#include "document/did_document.hpp"
#include "document/timestamp.hpp"

namespace vek::document {

Result<std::string> create_signed_document(const engine::KeyPair& key, std::string_view did) {
    auto document = DIDDocument::create(did);  // clock reading T1: "created" and "updated"
    if (!document) return std::unexpected(document.error());
    document->reserve(1, 1, 1, 0);
    document->with_verification_method(kEngineKeyId, key.public_key_hex());
    document->with_authentication(kEngineKeyId);
    document->with_assertion_method(kEngineKeyId);
    document->set_updated(current_timestamp());  // T2, part of the signed bytes

    // One tree: written compactly for the signature, then moved into the value form.
    RecordJson record = std::move(*document).to_record_json();
    const auto signed_text = write_json(record, -1);
    if (!signed_text) return std::unexpected(signed_text.error());

    std::string method_reference(did);
    method_reference.append(1, '#').append(kEngineKeyId);

    JsonValue proof = JsonValue::object();
    proof["type"] = kProofType;
    proof["created"] = current_timestamp();  // T3
    proof["verificationMethod"] = std::move(method_reference);
    proof["proofPurpose"] = kProofPurpose;
    proof["proofValue"] = key.sign_hex(*signed_text);

    JsonValue wrapper = JsonValue::object();
    wrapper["document"] = value_of(std::move(record));
    wrapper["proof"] = std::move(proof);
    return write_json(wrapper, 2);
}

}  // namespace vek::document
