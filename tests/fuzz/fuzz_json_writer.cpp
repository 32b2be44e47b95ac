// The JSON writer: for any value built of texts, arrays and objects, and for any builder
// document, the output is byte for byte the escaping and layout rules' (checked against a
// small independent writer), parses back to the same value, holds no raw control
// character, and the writer fails with "Serialization failed" exactly when a text is not
// UTF-8.
// Covers: src/document/did_document.cpp src/document/builder_state.cpp
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "did/did_syntax.hpp"
#include "document/builder_state.hpp"
#include "document/did_document.hpp"

namespace {

using vek::document::JsonValue;
using vek::document::RecordJson;

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if (byte >= 0xc2 && byte <= 0xdf) {
            length = 2, code = byte & 0x1f;
        } else if (byte >= 0xe0 && byte <= 0xef) {
            length = 3, code = byte & 0x0f;
        } else if (byte >= 0xf0 && byte <= 0xf4) {
            length = 4, code = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3f);
        }
        if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff))) return false;
        if (code >= 0xd800 && code <= 0xdfff) return false;
        i += length;
    }
    return true;
}

template <class Json>
bool all_utf8(const Json& json) {
    if (json.is_string()) return is_utf8(json.template get_ref<const std::string&>());
    if (json.is_object()) {
        for (const auto& [key, value] : json.items()) {
            if (!is_utf8(key) || !all_utf8(value)) return false;
        }
        return true;
    }
    for (const auto& value : json) {
        if (!all_utf8(value)) return false;
    }
    return true;
}

// The reference writer, straight from the escaping table and the two layouts.
void write_string(std::string_view text, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0x0f];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// `sorted`: members in ascending order of their key bytes, whatever order the value keeps.
template <class Json>
void write_reference(const Json& json, bool pretty, bool sorted, int depth, std::string& out) {
    if (json.is_string()) return write_string(json.template get_ref<const std::string&>(), out);
    const bool object = json.is_object();
    if (json.empty()) {
        out += object ? "{}" : "[]";
        return;
    }
    std::vector<std::pair<std::string, const Json*>> members;
    if (object) {
        for (auto it = json.begin(); it != json.end(); ++it) members.emplace_back(it.key(), &it.value());
        if (sorted) {
            std::ranges::sort(members, [](const auto& a, const auto& b) {
                return std::ranges::lexicographical_compare(a.first, b.first, [](char x, char y) {
                    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
                });
            });
        }
    } else {
        for (const auto& element : json) members.emplace_back("", &element);
    }
    out += object ? '{' : '[';
    bool first = true;
    for (const auto& [key, value] : members) {
        if (!first) out += ',';
        first = false;
        if (pretty) out.append(1, '\n').append(2 * (depth + 1), ' ');
        if (object) {
            write_string(key, out);
            out += pretty ? ": " : ":";
        }
        write_reference(*value, pretty, sorted, depth + 1, out);
    }
    if (pretty) out.append(1, '\n').append(2 * depth, ' ');
    out += object ? '}' : ']';
}

template <class Json>
std::string reference(const Json& json, bool pretty, bool sorted) {
    std::string out;
    write_reference(json, pretty, sorted, 0, out);
    return out;
}

void check_no_raw_control(std::string_view text, bool pretty) {
    for (char c : text) {
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 || (pretty && c == '\n'));
    }
}

template <class Json>
Json make_value(FuzzedDataProvider& input, int depth) {
    const int kind = depth >= 4 ? 0 : input.ConsumeIntegralInRange(0, 2);
    if (kind == 0) return Json(input.ConsumeRandomLengthString(24));
    Json value = kind == 1 ? Json::array() : Json::object();
    const int count = input.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < count; ++i) {
        if (kind == 1) {
            value.push_back(make_value<Json>(input, depth + 1));
        } else {
            std::string key = input.ConsumeRandomLengthString(12);
            value[key] = make_value<Json>(input, depth + 1);
        }
    }
    return value;
}

template <class Json>
void check_value(const std::uint8_t* data, std::size_t size, bool sorted) {
    FuzzedDataProvider input(data, size);
    const Json value = make_value<Json>(input, 0);
    const bool valid = all_utf8(value);
    for (const bool pretty : {false, true}) {
        const auto written = vek::document::write_json(value, pretty ? 2 : -1);
        FUZZ_CHECK(written.has_value() == valid);
        if (!written) {
            FUZZ_CHECK(written.error() == vek::errors::serialization_failed);
            continue;
        }
        FUZZ_CHECK(*written == reference(value, pretty, sorted));
        check_no_raw_control(*written, pretty);
        FUZZ_CHECK(Json::parse(*written) == value);
    }
}

// A builder fed with arbitrary texts: build() writes them all, in order, or fails as a whole.
void check_document(FuzzedDataProvider& input) {
    // The DID as given is accepted exactly when it passes the DID check; the document is
    // then built for the identifier with its outside characters replaced, so that most
    // inputs reach the writer.
    std::string identifier = input.ConsumeRandomLengthString(16);
    const bool accepted = vek::document::BuilderState::create("did:vek:" + identifier).has_value();
    FUZZ_CHECK(accepted == vek::did::is_valid_did("did:vek:" + identifier));
    for (char& c : identifier) {
        if (!vek::did::is_valid_did(std::string("did:vek:") + c)) c = '_';
    }
    const std::string did = "did:vek:" + identifier + "x";
    auto state = vek::document::BuilderState::create(did);
    FUZZ_CHECK(state.has_value());
    // The same texts go into a document record directly, to check its other two forms.
    auto document = vek::document::DIDDocument::create(did);
    FUZZ_CHECK(document.has_value());
    std::vector<std::string> texts;  // every text kept, to decide whether writing may fail
    std::string controller;          // only the last controller is kept
    bool has_controller = false;
    std::vector<std::string> method_keys, authentication, assertion, endpoints;
    const int operations = input.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < operations; ++i) {
        std::string a = input.ConsumeRandomLengthString(24);
        std::string b = input.ConsumeRandomLengthString(24);
        std::string c = input.ConsumeRandomLengthString(24);
        switch (input.ConsumeIntegralInRange(0, 4)) {
            case 0:
                state->set_controller(a);
                document->with_controller(a);
                controller = a;
                has_controller = true;
                break;
            case 1:
                state->add_verification_method(a, b);
                document->with_verification_method(a, b);
                method_keys.push_back(a);
                texts.insert(texts.end(), {a, b});
                break;
            case 2:
                state->add_authentication(a);
                document->with_authentication(a);
                authentication.push_back(a);
                texts.push_back(a);
                break;
            case 3:
                state->add_assertion_method(a);
                document->with_assertion_method(a);
                assertion.push_back(a);
                texts.push_back(a);
                break;
            case 4:
                state->add_service(a, b, c);
                document->with_service(a, b, c);
                endpoints.push_back(c);
                texts.insert(texts.end(), {a, b, c});
                break;
        }
    }
    const bool valid = is_utf8(controller) && std::ranges::all_of(texts, [](const std::string& t) { return is_utf8(t); });

    const auto compact = document->to_compact_json();
    FUZZ_CHECK(compact.has_value() == valid);
    if (compact) {
        check_no_raw_control(*compact, false);
        FUZZ_CHECK(*compact == reference(RecordJson::parse(*compact), false, false));
        // The value form holds the same members, sorted.
        const JsonValue value = document->to_json_value();
        FUZZ_CHECK(JsonValue::parse(*compact) == value);
    }

    const auto built = state->build();
    FUZZ_CHECK(built.has_value() == valid);
    if (!built) {
        FUZZ_CHECK(built.error() == vek::errors::serialization_failed);
        return;
    }
    check_no_raw_control(*built, true);
    const RecordJson parsed = RecordJson::parse(*built);
    FUZZ_CHECK(*built == reference(parsed, true, false));
    FUZZ_CHECK(parsed["id"] == did);
    FUZZ_CHECK(parsed.value("verificationMethod", RecordJson::array()).size() == method_keys.size());
    for (std::size_t i = 0; i < method_keys.size(); ++i) {
        FUZZ_CHECK(parsed["verificationMethod"][i]["id"] == did + "#" + method_keys[i]);
    }
    const auto references = [&](const std::vector<std::string>& keys) {
        RecordJson list = RecordJson::array();
        for (const auto& key : keys) list.push_back(did + "#" + key);
        return list;
    };
    FUZZ_CHECK(parsed.value("authentication", RecordJson::array()) == references(authentication));
    FUZZ_CHECK(parsed.value("assertionMethod", RecordJson::array()) == references(assertion));
    FUZZ_CHECK(parsed.value("controller", RecordJson()) == (has_controller ? RecordJson(controller) : RecordJson()));
    FUZZ_CHECK(parsed.value("service", RecordJson::array()).size() == endpoints.size());
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        FUZZ_CHECK(parsed["service"][i]["serviceEndpoint"] == endpoints[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the subject; the rest drives it.
    switch (data[0] % 3) {
        case 0: check_value<JsonValue>(data + 1, size - 1, true); break;
        case 1: check_value<RecordJson>(data + 1, size - 1, false); break;
        default: {
            FuzzedDataProvider input(data + 1, size - 1);
            check_document(input);
        }
    }
    return 0;
}
