// Signed documents read natively: no input crashes the reading, every refusal is one line,
// whatever the strict parse accepts the core's JSON reader accepts too (but for integers too
// large for a double, which Python's reader takes and the core's refuses), and whatever reads as
// a signed document has forms that are the core writer's own bytes and read back the same:
// the compact form is a fixed point of the core's compact writer, the value form of its
// sorted pretty writer, and the value form reads back to the same compact form.
// Covers: src/json/reader.cpp src/json/strings.cpp src/json/writer.cpp src/signed/record_rules.cpp src/record/record_forms.cpp src/signed/signed_check.cpp
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "json/reader.hpp"
#include "record/record_forms.hpp"
#include "signed/signed_check.hpp"

using namespace vek::json;
using namespace vek::record;
// The independent reader and writer: in text order, and sorted.
using RecordJson = nlohmann::ordered_json;
using JsonValue = nlohmann::json;

// An integer beyond the largest double (309 digits or more) somewhere in `node`.
static bool holds_huge_integer(const Node& node) {
    if (node.kind == Node::Kind::Number) {
        const std::string_view digits = node.text.substr(node.text.starts_with('-') ? 1 : 0);
        return digits.find_first_of(".eE") == std::string_view::npos && digits.size() > 308;
    }
    for (const Node& element : node.elements) {
        if (holds_huge_integer(element)) return true;
    }
    for (const Member& member : node.members) {
        if (holds_huge_integer(member.value)) return true;
    }
    return false;
}

static bool one_line(const vek::Refusal& refusal) {
    return !refusal.message.empty() && refusal.message.find('\n') == std::string::npos;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    auto parsed = parse_strict(text);
    if (!parsed) {
        FUZZ_CHECK(one_line(parsed.error()));
    } else if (!holds_huge_integer(parsed->root)) {
        FUZZ_CHECK(RecordJson::accept(text));
    }

    auto reading = read_signed(text);
    auto verified = verify_signed(text);
    if (!reading) {
        FUZZ_CHECK(one_line(reading.error()));
        FUZZ_CHECK(!verified);
        return 0;
    }
    if (!verified) FUZZ_CHECK(one_line(verified.error()));

    const SignedParts& parts = reading->parts;
    FUZZ_CHECK(RecordJson::parse(parts.compact).dump() == parts.compact);
    const std::string laid_out = signed_value_form(parts.record, parts.proof);
    FUZZ_CHECK(JsonValue::parse(laid_out).dump(2) == laid_out);
    auto again = read_signed(laid_out);
    FUZZ_CHECK(again && again->parts.compact == parts.compact);
    FUZZ_CHECK(static_cast<bool>(verify_signed(laid_out)) == static_cast<bool>(verified));
    return 0;
}
