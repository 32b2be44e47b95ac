#include "document/did_document.hpp"
#include "document/signed_document.hpp"
#include "document/timestamp.hpp"
#include "test_support.hpp"

using namespace vek;
using namespace vek::document;

namespace {

const std::string kContexts = std::string(R"(["https://www.w3.org/ns/did/v1","https://w3id.org/security/suites/ed25519-2020/v1",")") +
                              std::string(kVekContext) + "\"]";
// Every row of the escape table, then "/", U+007F and "é", which stay raw.
const std::string kEndpoint = "q\"b\\\b\t\n\f\r\x01\x1b/\x7f\xc3\xa9";
const std::string kEscapedEndpoint = R"(q\"b\\\b\t\n\f\r\u0001\u001b/)" "\x7f\xc3\xa9";

// A document with every kind of entry, an empty key id, one holding "#", and a duplicate.
DIDDocument full_document() {
    auto document = DIDDocument::create("did:vek:doc");
    document->with_controller("did:vek:ctl");
    document->with_verification_method("key-1", "abcd");
    document->with_authentication("key-1");
    document->with_authentication("");
    document->with_assertion_method("#x");
    document->with_assertion_method("#x");
    document->with_service("svc", "TestService", kEndpoint);
    document->set_updated(format_timestamp(951782400));
    return *std::move(document);
}

std::string keys_in_order(const RecordJson& object) {
    std::string keys;
    for (const auto& item : object.items()) keys.append(item.key()).append(" ");
    return keys;
}

}  // namespace

TEST_CASE("timestamps and a freshly created document") {
    CHECK(format_timestamp(0) == "1970-01-01T00:00:00Z");
    CHECK(format_timestamp(951782400) == "2000-02-29T00:00:00Z");
    CHECK(format_timestamp(1709251199) == "2024-02-29T23:59:59Z");
    CHECK(std::string_view(kVekContext).ends_with("/ns/vek/v1"));
    CHECK(DIDDocument::create("did:web:x").error() == errors::invalid_did);
    CHECK(DIDDocument::create("did:vek:").error() == errors::invalid_did);
    const auto document = DIDDocument::create("did:vek:x");
    const auto created = document->to_json_value()["created"].get<std::string>();
    REQUIRE(created.size() == 20);
    CHECK((created[4] == '-' && created[10] == 'T' && created[13] == ':' && created[19] == 'Z'));
    // Only the members create sets, "created" and "updated" from the same reading.
    CHECK(*document->to_compact_json() == R"({"@context":)" + kContexts + R"(,"id":"did:vek:x","created":")" + created +
                                              R"(","updated":")" + created + "\"}");
}

TEST_CASE("record forms: declared order, omissions, escapes and layout, byte for byte") {
    const auto document = full_document();
    const auto created = document.to_json_value()["created"].get<std::string>();
    CHECK(*document.to_compact_json() ==
          R"({"@context":)" + kContexts + R"(,"id":"did:vek:doc","controller":"did:vek:ctl","verificationMethod":[)" +
              R"({"id":"did:vek:doc#key-1","type":"Ed25519VerificationKey2020","controller":"did:vek:doc",)" +
              R"("publicKeyHex":"abcd"}],"authentication":["did:vek:doc#key-1","did:vek:doc#"],)" +
              R"("assertionMethod":["did:vek:doc##x","did:vek:doc##x"],)" +
              R"("service":[{"id":"did:vek:doc#svc","type":"TestService","serviceEndpoint":")" + kEscapedEndpoint +
              R"("}],"created":")" + created + R"(","updated":"2000-02-29T00:00:00Z"})");

    const std::string pretty = R"({
  "@context": [
    "https://www.w3.org/ns/did/v1",
    "https://w3id.org/security/suites/ed25519-2020/v1",
    ")" + std::string(kVekContext) + R"("
  ],
  "id": "did:vek:doc",
  "controller": "did:vek:ctl",
  "verificationMethod": [
    {
      "id": "did:vek:doc#key-1",
      "type": "Ed25519VerificationKey2020",
      "controller": "did:vek:doc",
      "publicKeyHex": "abcd"
    }
  ],
  "authentication": [
    "did:vek:doc#key-1",
    "did:vek:doc#"
  ],
  "assertionMethod": [
    "did:vek:doc##x",
    "did:vek:doc##x"
  ],
  "service": [
    {
      "id": "did:vek:doc#svc",
      "type": "TestService",
      "serviceEndpoint": ")" + kEscapedEndpoint + R"("
    }
  ],
  "created": ")" + created + R"(",
  "updated": "2000-02-29T00:00:00Z"
})";
    CHECK(*document.to_pretty_json() == pretty);
}

TEST_CASE("value form sorts every object's members by key bytes") {
    const auto value = RecordJson::parse(*write_json(full_document().to_json_value(), -1));
    CHECK(keys_in_order(value) ==
          "@context assertionMethod authentication controller created id service updated verificationMethod ");
    CHECK(keys_in_order(value["service"][0]) == "id serviceEndpoint type ");
    CHECK(value["service"][0]["serviceEndpoint"] == kEndpoint);
}

TEST_CASE("invalid UTF-8 in a text is reported as a serialization failure") {
    auto document = DIDDocument::create("did:vek:x");
    document->with_service("svc", "T", "\xff\xfe");
    CHECK(document->to_compact_json().error() == errors::serialization_failed);
    CHECK(document->to_pretty_json().error() == errors::serialization_failed);
    CHECK(write_json(document->to_json_value(), 2).error() == errors::serialization_failed);
}

TEST_CASE("create_signed_document signs the compact record form of the returned document") {
    const auto pair = engine::KeyPair::from_secret_hex(test_support::kTest1Secret);
    CHECK(create_signed_document(*pair, "did:web:x").error() == errors::invalid_did);
    const auto text = create_signed_document(*pair, "did:vek:signed");
    REQUIRE(text.has_value());
    CHECK(text->starts_with("{\n  \"document\": {\n    \"@context\": [\n      \"https://www.w3.org/ns/did/v1\""));
    CHECK(text->ends_with("\n  }\n}"));

    const auto value = RecordJson::parse(*text);  // keeps the member order of the text
    const auto& document = value["document"];
    const auto& method = document["verificationMethod"][0];
    const auto& proof = value["proof"];
    CHECK(keys_in_order(value) == "document proof ");
    CHECK(keys_in_order(document) == "@context assertionMethod authentication created id updated verificationMethod ");
    CHECK(keys_in_order(method) == "controller id publicKeyHex type ");
    CHECK(keys_in_order(proof) == "created proofPurpose proofValue type verificationMethod ");
    CHECK(method["publicKeyHex"] == pair->public_key_hex());
    CHECK(proof["verificationMethod"] == "did:vek:signed#key-1");
    CHECK((proof["proofPurpose"] == "assertionMethod" && proof["type"] == "Ed25519Signature2020"));

    // The compact record form: declared member order, no whitespace.
    RecordJson rebuilt, rebuilt_method;
    for (const char* key : {"id", "type", "controller", "publicKeyHex"}) rebuilt_method[key] = method[key];
    for (const std::string key : {"@context", "id", "verificationMethod", "authentication", "assertionMethod", "created",
                                  "updated"}) {
        rebuilt[key] = key == "verificationMethod" ? RecordJson::array({rebuilt_method}) : document[key];
    }
    const std::string compact = rebuilt.dump();
    const auto signature_hex = proof["proofValue"].get<std::string>();
    CHECK(engine::verify_exact(engine::as_bytes(compact), test_support::bytes_of<64>(signature_hex), pair->public_key()));
    CHECK(engine::verify_hex_with_key(compact, signature_hex, method["publicKeyHex"].get<std::string>()));
    CHECK_FALSE(engine::verify_hex(*text, signature_hex, pair->public_key()));
}
