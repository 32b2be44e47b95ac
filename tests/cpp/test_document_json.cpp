#include <doctest/doctest.h>

#include "document/did_document.hpp"

using vek::document::DIDDocument;
using vek::document::JsonValue;
using vek::document::RecordJson;

namespace {

DIDDocument sample() {
    auto document = DIDDocument::create("did:vek:abc");
    REQUIRE(document);
    document->with_controller("did:vek:ctl");
    document->with_verification_method("key-1", "00ff");
    document->with_authentication("key-1");
    document->with_service("svc", "LinkedDomains", "https://example.com/");
    return std::move(*document);
}

}  // namespace

TEST_CASE("the const forms leave the document whole, the consuming forms give the same text") {
    const DIDDocument document = sample();
    const auto compact = document.to_compact_json();
    const auto pretty = document.to_pretty_json();
    const auto value = document.to_json_value();
    CHECK(document.to_compact_json() == compact);
    CHECK(document.to_pretty_json() == pretty);
    CHECK(document.to_json_value() == value);
    CHECK(DIDDocument(document).to_compact_json() == compact);
    CHECK(DIDDocument(document).to_pretty_json() == pretty);
    CHECK(DIDDocument(document).to_json_value() == value);
}

TEST_CASE("value_of keeps every member and item, and sorts every object by key") {
    RecordJson record = sample().to_record_json();
    const JsonValue expected = JsonValue::parse(record.dump());  // parsing into sorted objects
    const JsonValue value = vek::document::value_of(std::move(record));
    CHECK(value == expected);
    CHECK(value.dump() == expected.dump());
    CHECK(value.begin().key() == "@context");
    CHECK(value["verificationMethod"][0].begin().key() == "controller");
}
