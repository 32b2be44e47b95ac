// Signed documents read without Python: the strict parse and its refusals, the compact and
// value forms against the core's own JSON writer, the signature checks and the history rules.
#include <doctest/doctest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "document/builder_state.hpp"
#include "document/did_document.hpp"
#include "document/signed_document.hpp"
#include "engine/key_did.hpp"
#include "engine/key_pair.hpp"
#include "signed/history_check.hpp"
#include "json/reader.hpp"
#include "json/strings.hpp"
#include "record/record_forms.hpp"
#include "signed/signed_check.hpp"

using namespace vek;
using namespace vek::json;
using namespace vek::record;

namespace {

std::string refusal_of(std::string_view text) {
    auto parsed = parse_strict(text);
    REQUIRE_FALSE(parsed.has_value());
    CHECK(parsed.error().message.find('\n') == std::string::npos);
    return parsed.error().message;
}

std::string value_form(const Record& record) {
    std::string out;
    append_value_form(out, record, 0);
    return out;
}

const auto kKey = *engine::KeyPair::from_secret_hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const std::string kDid = engine::did_from_public_key(kKey.public_key());

// A record with `key_id` (and, unless `deactivating`, it for assertion), "updated" as given.
std::string record_text(std::string_view updated, std::string_view key_id = "key-1", bool deactivating = false) {
    std::string methods = deactivating ? "" :
        R"(,"verificationMethod":[{"id":")" + kDid + "#" + std::string(key_id) + R"(","type":"Ed25519VerificationKey2020","controller":")" +
        kDid + R"(","publicKeyHex":")" + kKey.public_key_hex() + R"("}],"assertionMethod":[")" + kDid + "#" +
        std::string(key_id) + R"("])";
    return R"({"@context":["https://www.w3.org/ns/did/v1","https://w3id.org/security/suites/ed25519-2020/v1",)"
           R"("https://did-vek.dev/ns/vek/v1"],"id":")" + kDid + "\"" + methods +
           R"(,"created":"2026-01-01T00:00:00Z","updated":")" + std::string(updated) + "\"}";
}

std::string signed_text(const std::string& record, std::string_view key_id = "key-1") {
    auto text = sign_record(record, key_id, "2026-02-02T00:00:00Z", kKey);
    REQUIRE(text.has_value());
    return *text;
}

}  // namespace

TEST_CASE("the strict parse refuses what a lenient parser would resolve, in one line") {
    const std::pair<std::string, std::string> cases[] = {
        {"", "not JSON: Expecting value at line 1 column 1"},
        {"{}x", "not JSON: Extra data at line 1 column 3"},
        {"{}\n  {}", "not JSON: Extra data at line 2 column 3"},
        {"\xef\xbb\xbf{}", "BOM"},
        {R"({"a": NaN})", "NaN is not a JSON value"},
        {R"([Infinity])", "Infinity is not a JSON value"},
        {R"([-Infinity])", "-Infinity is not a JSON value"},
        {R"([1e999])", R"(number "1e999" is out of range)"},
        {R"([-0.5e400])", R"(number "-0.5e400" is out of range)"},
        {"[" + std::string(1001, '9') + "]", "number of 1001 digits is out of range"},
        {std::string(kMaxDepth + 1, '['), "nested too deeply"},
        {R"({"proof": 1, "proof": 2})", R"(duplicate member "proof")"},
        {R"({"a": {"b": {"c": 1, "c": 1}}})", R"(duplicate member "c")"},
        {R"(["\ud800"])", "lone surrogate U+D800"},
        {R"(["\udfff\ud800"])", "lone surrogate U+DFFF"},
        {R"(["\ud83d\u0041"])", "lone surrogate U+D83D"},
        {"[\"\xff\"]", "not JSON: Invalid UTF-8"},
        {"[\"\xc0\xaf\"]", "not JSON: Invalid UTF-8"},            // overlong "/"
        {"[\"\xed\xa0\x80\"]", "not JSON: Invalid UTF-8"},        // a surrogate written in UTF-8
        {"[\"a\nb\"]", "not JSON: Invalid control character at line 1 column 4"},
        {R"(["\x"])", "not JSON: Invalid \\escape"},
        {R"(["\u12"])", "not JSON: Invalid \\uXXXX escape"},
        {R"({"a" 1})", "not JSON: Expecting ':' delimiter"},
        {R"({1: 1})", "not JSON: Expecting property name enclosed in double quotes"},
        {R"([1 2])", "not JSON: Expecting ',' delimiter"},
        {R"(["abc)", "not JSON: Unterminated string starting at line 1 column 2"},
        {"[01]", "not JSON: Expecting ',' delimiter"},
    };
    for (const auto& [text, message] : cases) {
        CAPTURE(text);
        CHECK(refusal_of(text).find(message) != std::string::npos);
    }
}

TEST_CASE("the strict parse reads escapes, tiny numbers and deep but allowed nesting") {
    auto parsed = parse_strict(R"({"a\/b": ["\u00e9\ud83d\ude00\n", 1e-999, -0, true, false, null]})");
    REQUIRE(parsed.has_value());
    const Node& root = parsed->root;
    CHECK(root.members[0].name == "a/b");
    CHECK(root.members[0].value.elements[0].text == "\xc3\xa9\xf0\x9f\x98\x80\n");
    CHECK(parse_strict(std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']')).has_value());
}

TEST_CASE("duplicate names and repeated keys in long objects and lists cost no quadratic time") {
    std::string members = "{", methods;
    for (int i = 0; i < 50000; ++i) members += "\"m" + std::to_string(i) + "\":0,";
    CHECK(refusal_of(members + "\"m49999\":0}") == R"(duplicate member "m49999")");

    for (int i = 0; i < 50000; ++i) {
        methods += R"({"id":")" + kDid + "#k" + std::to_string(i) + R"(","type":"Ed25519VerificationKey2020","controller":")" +
                   kDid + R"(","publicKeyHex":")" + kKey.public_key_hex() + "\"},";
    }
    methods += R"({"id":")" + kDid + "#k7\"}";
    const std::string text = R"({"@context":["https://www.w3.org/ns/did/v1","https://w3id.org/security/suites/ed25519-2020/v1",)"
                             R"("https://did-vek.dev/ns/vek/v1"],"id":")" + kDid + R"(","verificationMethod":[)" + methods +
                             R"(],"created":"2026-01-01T00:00:00Z","updated":"2026-01-01T00:00:00Z"})";
    CHECK(read_record(text).error().message == R"(document.verificationMethod[50000] lacks the member "type")");
}

TEST_CASE("the compact and value forms are the core writer's bytes, escapes included") {
    const std::string odd = "\"|\\|\b|\t|\n|\f|\r|" + std::string(1, '\0') + "|\x1b|\x1f|/|\x7f|\xc3\xa9\xf0\x9f\x98\x80";
    auto builder = document::BuilderState::create(kDid);
    builder->set_controller(odd);
    builder->add_verification_method(odd, kKey.public_key_hex());
    builder->add_authentication(odd);
    builder->add_assertion_method(odd);
    builder->add_service(odd, odd, odd);
    builder->add_service("s2", "T", "https://example.com");
    const std::string pretty = *builder->build();

    auto reading = read_record(pretty);
    REQUIRE(reading.has_value());
    CHECK(reading->compact == nlohmann::ordered_json::parse(pretty).dump());
    CHECK(value_form(reading->record) == nlohmann::json::parse(pretty).dump(2));
}

TEST_CASE("a public key is 64 lower-case hex digits: any other byte is refused wherever it stands") {
    const std::string key = kKey.public_key_hex();
    const auto with_key = [&](const std::string& other) {
        std::string text = record_text("2026-01-01T00:00:00Z");
        return text.replace(text.find(key), key.size(), other);
    };
    CHECK(read_record(with_key("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef")).has_value());
    // Bytes beside the ranges of digits and letters, upper case, a character of two bytes.
    for (const std::string other : {"/", ":", "`", "g", "@", "A", "F", "G", "\x7f", "~", "\xc3\xa9"}) {
        for (const std::size_t at : {0, 7, 8, 33, 56, 62}) {
            CAPTURE(other);
            CAPTURE(at);
            std::string changed = key;
            changed.replace(at, other.size(), other);
            auto reading = read_record(with_key(changed));
            REQUIRE_FALSE(reading.has_value());
            CHECK(reading.error().message == "document.verificationMethod[0].publicKeyHex must be 64 lower-case hex digits");
        }
    }
}

TEST_CASE("what the engine signs verifies on its own, in its own layout and in any other") {
    for (const std::string& did : {kDid, std::string("did:vek:chosen")}) {
        const std::string text = *document::create_signed_document(kKey, did);
        auto verified = verify_signed(text);
        REQUIRE(verified.has_value());
        CHECK(verified->public_key == kKey.public_key_hex());
        CHECK(verified->key_derived == (did == kDid));
        CHECK(signed_value_form(verified->reading.parts.record, verified->reading.parts.proof) == text);
        CHECK(verify_signed(nlohmann::json::parse(text).dump()).has_value());
    }
}

TEST_CASE("sign_record lays the signed document out as the engine does, and it verifies") {
    const std::string text = signed_text(record_text("2026-01-01T00:00:00Z"));
    CHECK(text == nlohmann::json::parse(text).dump(2));
    CHECK(verify_signed(text).has_value());
    // Signed by a key the document does not list for assertion: readable, not verified.
    const std::string other = signed_text(record_text("2026-01-01T00:00:00Z"), "key-2");
    CHECK(read_signed(other).has_value());
    CHECK(verify_signed(other).error().message ==
          "proof.verificationMethod \"" + kDid + "#key-2\" is not in document.assertionMethod");
}

TEST_CASE("a changed signed byte or value is refused with the member it names") {
    const std::string text = signed_text(record_text("2026-01-01T00:00:00Z"));
    const std::pair<std::pair<std::string, std::string>, std::string> cases[] = {
        {{"\"updated\": \"2026-01-01T00:00:00Z\"", "\"updated\": \"2026-01-01T00:00:01Z\""},
         "proof.proofValue does not verify"},
        {{"\"Ed25519VerificationKey2020\"", "\"X\""},
         R"(document.verificationMethod[0].type must be "Ed25519VerificationKey2020", not "X")"},
        {{"\"updated\": \"2026-01-01T00:00:00Z\"", "\"updated\": \"2025-12-31T23:59:59Z\""},
         R"(document.updated "2025-12-31T23:59:59Z" is before document.created "2026-01-01T00:00:00Z")"},
        {{"\"created\": \"2026-01-01T00:00:00Z\"", "\"created\": \"2026-02-30T00:00:00Z\""},
         R"(document.created "2026-02-30T00:00:00Z" is not a real date and time)"},
        {{"\"created\": \"2026-02-02T00:00:00Z\"", "\"created\": \"2026-02-02 00:00:00Z\""},
         "proof.created \"2026-02-02 00:00:00Z\" is not a UTC time of the form YYYY-MM-DDThh:mm:ssZ"},
        {{"\"proof\": {", "\"proof\": {\"extra\": 1, "},
         R"(proof has the member "extra", which a signed document never has)"},
    };
    for (const auto& [change, message] : cases) {
        CAPTURE(message);
        std::string changed = text;
        const std::size_t at = changed.find(change.first);
        REQUIRE(at != std::string::npos);
        changed.replace(at, change.first.size(), change.second);
        auto verified = verify_signed(changed);
        REQUIRE_FALSE(verified.has_value());
        CHECK(verified.error().message.starts_with(message));
    }
}

TEST_CASE("a history: H1 to H4, and the same answer for texts and for an array") {
    const std::vector<std::string> life = {signed_text(record_text("2026-01-01T00:00:00Z")),
                                           signed_text(record_text("2026-01-01T00:00:10Z")),
                                           signed_text(record_text("2026-01-01T00:00:20Z", "key-1", true))};
    auto history = verify_history(life);
    REQUIRE(history.has_value());
    REQUIRE(history->versions.size() == 3);
    auto from_array = verify_history_array("[" + life[0] + "," + life[1] + "," + life[2] + "]");
    REQUIRE(from_array.has_value());
    for (std::size_t i = 0; i < life.size(); ++i) CHECK(from_array->versions[i].value_form == life[i]);

    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "the history is empty: it has no version 1"},
        {{life[0], life[0]}, "version 2 breaks H3: its updated"},
        {{life[0], life[2], life[1]}, "version 3 breaks H4: version 2 deactivated the DID"},
        {{life[0], "{}"}, "version 2 breaks H2: the text lacks the member \"document\""},
        {{signed_text(record_text("2026-01-01T00:00:00Z"), "key-2")}, "version 1 breaks H1: its proof's key"},
    };
    for (const auto& [versions, message] : cases) {
        CAPTURE(message);
        auto refused = verify_history(versions);
        REQUIRE_FALSE(refused.has_value());
        CHECK(refused.error().message.starts_with(message));
    }
    CHECK(verify_history_array("{}").error().message == "a history is a JSON array of signed documents");
}
