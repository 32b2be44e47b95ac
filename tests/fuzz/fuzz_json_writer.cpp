// The JSON writer against an independent one: any tree of texts, written by ours in either
// layout, is byte for byte what nlohmann's dump makes of it, and ours reports a text that is
// not UTF-8 exactly when nlohmann refuses to write it.
// A builder's document carries fuzzed texts through unchanged, or fails the same way.
// Covers: src/json/writer.cpp src/json/strings.cpp src/document/did_document.cpp src/document/builder_state.cpp
#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "../oracle/json_oracle.hpp"
#include "check.hpp"
#include "document/builder_state.hpp"

using oracle::OrderedJson;

// Texts, and arrays and objects of values, up to four levels deep.
static OrderedJson make_value(FuzzedDataProvider& input, int depth) {
    const int kind = depth >= 4 ? 0 : input.ConsumeIntegralInRange(0, 2);
    if (kind == 0) return OrderedJson(input.ConsumeRandomLengthString(24));
    OrderedJson value = kind == 1 ? OrderedJson::array() : OrderedJson::object();
    for (int count = input.ConsumeIntegralInRange(0, 4); count > 0; --count) {
        OrderedJson item = make_value(input, depth + 1);
        if (kind == 1) value.push_back(std::move(item));
        if (kind == 2) value[input.ConsumeRandomLengthString(12)] = std::move(item);
    }
    return value;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const OrderedJson value = make_value(input, 0);
    for (const auto layout : {vek::json::Layout::Compact, vek::json::Layout::Pretty}) {
        const auto written = oracle::ours(value, layout);
        FUZZ_CHECK(written == oracle::theirs(value, layout == vek::json::Layout::Compact ? -1 : 2));
    }

    const std::string id = input.ConsumeRandomLengthString(16), type = input.ConsumeRandomLengthString(16);
    const std::string controller = input.ConsumeRandomLengthString(16);
    auto builder = vek::document::BuilderState::create("did:vek:fuzz");
    builder->set_controller(controller);
    builder->add_service(id, type, controller);
    const auto built = builder->build();
    const bool texts_utf8 = oracle::theirs(OrderedJson::array({id, type, controller}), -1).has_value();
    FUZZ_CHECK(built.has_value() == texts_utf8);
    if (built) {
        const OrderedJson document = OrderedJson::parse(*built);
        const OrderedJson& service = document["service"][0];
        FUZZ_CHECK(document["controller"] == controller && service["type"] == type);
        FUZZ_CHECK(service["id"] == "did:vek:fuzz#" + id && service["serviceEndpoint"] == controller);
    }
    return 0;
}
