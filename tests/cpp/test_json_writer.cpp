// The one JSON writer and the record schema against nlohmann/json as an independent oracle:
// the same bytes in both layouts, the same verdict on texts that are not UTF-8, the same
// sorted member order.
#include <doctest/doctest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "../oracle/json_oracle.hpp"
#include "document/builder_state.hpp"
#include "json/plain_run.hpp"
#include "record/schema.hpp"

using namespace vek;
using oracle::OrderedJson;
using oracle::ours;
using oracle::theirs;

TEST_CASE("the writer's bytes are nlohmann's in both layouts") {
    const std::string odd = "\"|\\|\b|\t|\n|\f|\r|" + std::string(1, '\0') + "|\x1b|\x1f|/|\x7f|\xc3\xa9\xf0\x9f\x98\x80";
    const OrderedJson values[] = {
        "",
        odd,
        std::string(100, 'x') + "\"",  // an escape after the first runs of eight bytes
        OrderedJson::array(),
        OrderedJson::object(),
        {{"a", OrderedJson::array()}, {"b", OrderedJson::object()}},
        {{"z", "1"}, {"a", {"x", {{"y", {"deep", {{"deeper", "z"}}}}}}}, {odd, odd}},
        OrderedJson::array({OrderedJson::array({OrderedJson::array()}), "x"}),
    };
    for (const OrderedJson& value : values) {
        CAPTURE(value.dump(-1, ' ', true));
        CHECK(ours(value, json::Layout::Compact) == value.dump());
        CHECK(ours(value, json::Layout::Pretty) == value.dump(2));
    }
}

TEST_CASE("a text that is not UTF-8 is reported exactly when nlohmann refuses to write it") {
    const std::pair<std::string, bool> texts[] = {
        {"caf\xc3\xa9", true},        {"\xf4\x8f\xbf\xbf", true},     // U+10FFFF
        {"caf\xc3", false},           {"\xe2\x82", false},            // cut short
        {"\xc0\x80", false},          {"\xe0\x80\xaf", false},        // overlong
        {"\xed\xa0\x80", false},      {"\xf4\x90\x80\x80", false},    // a surrogate, beyond U+10FFFF
        {"\x80", false},              {"\xff", false},
        {std::string(9, 'a') + "\xf5", false},
    };
    for (const auto& [text, utf8] : texts) {
        CAPTURE(text);
        for (const OrderedJson& value : {OrderedJson(text), OrderedJson{{text, "v"}}}) {
            CHECK(theirs(value, -1).has_value() == utf8);
            CHECK(ours(value, json::Layout::Compact) == theirs(value, -1));
            CHECK(ours(value, json::Layout::Pretty) == theirs(value, 2));
        }
    }
}

TEST_CASE("the sorted member orders of the schema are nlohmann's object order") {
    const auto sorted_names = [](const auto& names, const auto& order) {
        std::vector<std::string> out;
        for (const auto member : order) out.emplace_back(names[member]);
        return out;
    };
    const auto oracle_names = [](const auto& names) {
        nlohmann::json object = nlohmann::json::object();
        for (const auto name : names) object[std::string(name)] = 0;
        std::vector<std::string> out;
        for (const auto& [name, value] : object.items()) out.push_back(name);
        return out;
    };
    using namespace vek::record;
    CHECK(sorted_names(kDocumentMembers, kSortedOrder.document) == oracle_names(kDocumentMembers));
    CHECK(sorted_names(kMethodMembers, kSortedOrder.method) == oracle_names(kMethodMembers));
    CHECK(sorted_names(kServiceMembers, kSortedOrder.service) == oracle_names(kServiceMembers));
    CHECK(sorted_names(kProofMembers, kSortedOrder.proof) == oracle_names(kProofMembers));
    CHECK(sorted_names(kWrapperMembers, kSortedOrder.wrapper) == oracle_names(kWrapperMembers));
}

TEST_CASE("build() writes the record form in declared order, as nlohmann lays it out") {
    const std::string odd = "\"\\\n\x01\x7f\xc3\xa9";
    auto builder = document::BuilderState::create("did:vek:x");
    builder->set_controller(odd);
    for (int i = 0; i < 3; ++i) {
        builder->add_verification_method("k" + std::to_string(i), odd);
        builder->add_authentication(odd);
        builder->add_assertion_method("k" + std::to_string(i));
        builder->add_service(odd, odd, odd);
    }
    const std::string built = *builder->build();
    const OrderedJson parsed = OrderedJson::parse(built);
    CHECK(built == parsed.dump(2));
    std::vector<std::string> names;
    for (const auto& [name, value] : parsed.items()) names.push_back(name);
    CHECK(names == std::vector<std::string>{"@context", "id", "controller", "verificationMethod", "authentication",
                                            "assertionMethod", "service", "created", "updated"});
    CHECK(parsed["service"][0].begin().key() == "id");
    const auto empty = document::BuilderState::create("did:vek:x")->build();
    CHECK(*empty == OrderedJson::parse(*empty).dump(2));
}

TEST_CASE("a plain run ends at the first byte that needs attention, wherever it lies") {
    // Every byte value at every place of texts that span the wide and the narrow scans.
    for (std::size_t size = 1; size <= 40; ++size) {
        for (std::size_t at = 0; at < size; ++at) {
            for (int byte = 0; byte < 256; ++byte) {
                std::string text(size, 'a');
                text[at] = static_cast<char>(byte);
                const bool stops_ascii = byte < 0x20 || byte == '"' || byte == '\\' || byte >= 0x80;
                const bool stops_utf8 = byte < 0x20 || byte == '"' || byte == '\\';
                CAPTURE(size);
                CAPTURE(at);
                CAPTURE(byte);
                REQUIRE(json::plain_run(text, true) == (stops_ascii ? at : size));
                REQUIRE(json::plain_run(text, false) == (stops_utf8 ? at : size));
            }
        }
    }
}
