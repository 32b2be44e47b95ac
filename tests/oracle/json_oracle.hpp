// nlohmann/json as the independent oracle of the core's JSON writer: a tree of its values
// written by ours, and its own text of the same tree.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "json/writer.hpp"

namespace oracle {

using OrderedJson = nlohmann::ordered_json;

// `value` (texts, arrays and objects) through the core's writer, members in their order.
inline void write(vek::json::Writer& out, const OrderedJson& value) {
    if (value.is_string()) return out.string(value.get_ref<const std::string&>());
    if (value.is_array()) {
        out.begin_array();
        for (const OrderedJson& element : value) write(out, element);
        return out.end_array();
    }
    out.begin_object();
    for (const auto& [name, member] : value.items()) {
        out.name(name);
        write(out, member);
    }
    out.end_object();
}

// The core writer's text of `value`, or nothing where it reports a text that is not UTF-8.
inline std::optional<std::string> ours(const OrderedJson& value, vek::json::Layout layout) {
    std::string out;
    bool utf8 = false;
    {
        vek::json::Writer writer(out, layout);
        write(writer, value);
        utf8 = writer.utf8();
    }
    if (!utf8) return std::nullopt;
    return out;
}

// nlohmann's text (indent < 0: compact), or nothing where it refuses to write (a text that
// is not UTF-8).
inline std::optional<std::string> theirs(const OrderedJson& value, int indent) {
    try {
        return value.dump(indent);
    } catch (const nlohmann::json::type_error&) {
        return std::nullopt;
    }
}

}  // namespace oracle
