#include "credentials/canonical_json.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "credentials/number_form.hpp"
#include "signed/json_text.hpp"

namespace vek::credentials {
namespace {

using record::Member;
using record::Node;

// The code point that starts at `text[i]`; `i` is the first byte of a sequence.
std::uint32_t code_point_at(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i + k])); };
    const std::uint32_t lead = byte(0);
    if (lead < 0x80) return lead;
    if (lead < 0xe0) return (lead & 0x1f) << 6 | (byte(1) & 0x3f);
    if (lead < 0xf0) return (lead & 0x0f) << 12 | (byte(1) & 0x3f) << 6 | (byte(2) & 0x3f);
    return (lead & 0x07) << 18 | (byte(1) & 0x3f) << 12 | (byte(2) & 0x3f) << 6 | (byte(3) & 0x3f);
}

// The first UTF-16 code unit of a code point, then its second (0 when it has one unit).
std::pair<std::uint32_t, std::uint32_t> utf16_units(std::uint32_t code) {
    if (code < 0x10000) return {code, 0};
    return {0xd800 + ((code - 0x10000) >> 10), 0xdc00 + ((code - 0x10000) & 0x3ff)};
}

constexpr std::size_t kRecursionLimit = record::kMaxDepth + 1;

record::Checked<void> append_value(std::string& out, const Node& node, std::size_t depth);

record::Checked<void> append_members(std::string& out, std::vector<const Member*>& members, std::size_t depth) {
    std::ranges::sort(members, [](const Member* a, const Member* b) { return utf16_less(a->name, b->name); });
    out += '{';
    bool first = true;
    for (const Member* member : members) {
        if (!first) out += ',';
        first = false;
        record::append_string(out, member->name);
        out += ':';
        if (auto written = append_value(out, member->value, depth); !written) return written;
    }
    out += '}';
    return {};
}

record::Checked<void> append_value(std::string& out, const Node& node, std::size_t depth) {
    // The reader bounds the nesting of what it reads; a tree built otherwise is bounded here.
    if (depth > kRecursionLimit) return record::refuse("not JSON that can be read: nested too deeply");
    switch (node.kind) {
        case Node::Kind::Null: out += "null"; return {};
        case Node::Kind::False: out += "false"; return {};
        case Node::Kind::True: out += "true"; return {};
        case Node::Kind::Number: return append_number(out, node.text);
        case Node::Kind::String: record::append_string(out, node.text); return {};
        case Node::Kind::Array: {
            out += '[';
            bool first = true;
            for (const Node& element : node.elements) {
                if (!first) out += ',';
                first = false;
                if (auto written = append_value(out, element, depth + 1); !written) return written;
            }
            out += ']';
            return {};
        }
        case Node::Kind::Object: {
            std::vector<const Member*> members;
            members.reserve(node.members.size());
            for (const Member& member : node.members) members.push_back(&member);
            return append_members(out, members, depth + 1);
        }
    }
    return {};
}

}  // namespace

bool utf16_less(std::string_view a, std::string_view b) {
    const auto [a_end, b_end] = std::ranges::mismatch(a, b);
    if (b_end == b.end()) return false;  // b is a prefix of a, or equal
    if (a_end == a.end()) return true;
    // UTF-8 and UTF-16 order agree except between supplementary characters (two units from
    // 0xD800) and U+E000..U+FFFF: compare the code points in which the texts first differ.
    std::size_t at = static_cast<std::size_t>(a_end - a.begin());
    while (at > 0 && (static_cast<unsigned char>(a[at]) & 0xc0) == 0x80) --at;
    return utf16_units(code_point_at(a, at)) < utf16_units(code_point_at(b, at));
}

record::Checked<void> append_canonical(std::string& out, const Node& node) { return append_value(out, node, 0); }

record::Checked<void> append_canonical_object(std::string& out, std::span<const Member* const> members) {
    std::vector<const Member*> sorted(members.begin(), members.end());
    return append_members(out, sorted, 1);
}

record::Checked<std::string> canonicalize(std::string_view text) {
    auto document = record::parse_strict(text);
    if (!document) return std::unexpected(std::move(document.error()));
    std::string out;
    out.reserve(text.size());
    if (auto written = append_canonical(out, document->root); !written) return std::unexpected(written.error());
    return out;
}

}  // namespace vek::credentials
