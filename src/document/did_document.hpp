// The DID document record the engine and the builder make: the operations that fill it, and
// its text forms written by the record's one writer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/domain_error.hpp"
#include "json/writer.hpp"
#include "record/record.hpp"

namespace vek::document {

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

    // The document as a record: views of its texts, valid while it stays unchanged.
    record::Record view() const;

    // The record form (members in declared order) in `layout`; "Serialization failed" when a
    // text the document was given is not UTF-8.
    Result<std::string> record_form(json::Layout layout) const;

private:
    struct KeyEntry {
        std::string id, public_key_hex;
    };
    struct ServiceEntry {
        std::string id, type, endpoint;
    };

    explicit DIDDocument(std::string_view did, std::string timestamp);
    std::string reference(std::string_view fragment) const;

    std::string id_;
    std::optional<std::string> controller_;
    std::vector<KeyEntry> verification_methods_;
    std::vector<std::string> authentication_;
    std::vector<std::string> assertion_methods_;
    std::vector<ServiceEntry> services_;
    std::string created_;
    std::string updated_;
};

// `record` in `layout`, its members in `order`; "Serialization failed" when a text is not UTF-8.
Result<std::string> write_record_text(const record::Record& record, json::Layout layout,
                                      const record::FormOrder& order);

}  // namespace vek::document
