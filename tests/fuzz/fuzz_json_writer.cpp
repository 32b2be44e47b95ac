// The JSON writer: in both layouts the output holds no raw control character and parses back
// to the same value (members in the order given), and writing fails, with "Serialization
// failed", only when some text is not UTF-8.
// A builder's document carries fuzzed texts through unchanged, or fails the same way.
// Covers: src/document/did_document.cpp src/document/builder_state.cpp
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "document/builder_state.hpp"
#include "document/did_document.hpp"

using vek::document::RecordJson;

// nlohmann's reader judges the encoding of a text; ASCII bytes cannot change its verdict,
// so they are replaced by a letter that needs no escape.
static bool utf8(std::string text) {
    std::ranges::replace_if(text, [](unsigned char c) { return c < 0x80; }, 'a');
    return RecordJson::accept("\"" + text + "\"");
}

static bool all_utf8(const RecordJson& json) {
    if (json.is_string()) return utf8(json.get<std::string>());
    for (auto it = json.begin(); it != json.end(); ++it) {
        if ((json.is_object() && !utf8(it.key())) || !all_utf8(*it)) return false;
    }
    return true;
}

// Texts, and arrays and objects of values, up to four levels deep.
static RecordJson make_value(FuzzedDataProvider& input, int depth) {
    const int kind = depth >= 4 ? 0 : input.ConsumeIntegralInRange(0, 2);
    if (kind == 0) return RecordJson(input.ConsumeRandomLengthString(24));
    RecordJson value = kind == 1 ? RecordJson::array() : RecordJson::object();
    for (int count = input.ConsumeIntegralInRange(0, 4); count > 0; --count) {
        RecordJson item = make_value(input, depth + 1);
        if (kind == 1) value.push_back(std::move(item));
        if (kind == 2) value[input.ConsumeRandomLengthString(12)] = std::move(item);
    }
    return value;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const RecordJson value = make_value(input, 0);
    for (const int indent : {-1, 2}) {
        const auto written = vek::document::write_json(value, indent);
        if (!written) {
            FUZZ_CHECK(written.error() == vek::errors::serialization_failed && !all_utf8(value));
            continue;
        }
        // The pretty layout's line breaks are the only control characters written raw.
        const auto raw_control = [&](unsigned char c) { return c < 0x20 && (indent < 0 || c != '\n'); };
        FUZZ_CHECK(std::ranges::none_of(*written, raw_control));
        FUZZ_CHECK(RecordJson::parse(*written) == value);  // throws, which is a finding, if the output is not UTF-8
    }

    const std::string id = input.ConsumeRandomLengthString(16), type = input.ConsumeRandomLengthString(16);
    const std::string controller = input.ConsumeRandomLengthString(16);
    auto builder = vek::document::BuilderState::create("did:vek:fuzz");
    builder->set_controller(controller);
    builder->add_service(id, type, controller);
    const auto built = builder->build();
    FUZZ_CHECK(built.has_value() == (utf8(id) && utf8(type) && utf8(controller)));
    if (built) {
        const RecordJson document = RecordJson::parse(*built);
        const RecordJson& service = document["service"][0];
        FUZZ_CHECK(document["controller"] == controller && service["type"] == type);
        FUZZ_CHECK(service["id"] == "did:vek:fuzz#" + id && service["serviceEndpoint"] == controller);
    }
    return 0;
}
