#include "credentials/canonical_json.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "credentials/number_form.hpp"
#include "signed/json_text.hpp"

namespace vek::credentials {
namespace {

using record::Member;
using record::Node;

constexpr std::size_t kRecursionLimit = record::kMaxDepth + 1;

record::Checked<void> append_value(std::string& out, const Node& node, std::size_t depth);

// Lead bytes of U+E000..U+FFFF, and of the characters above U+FFFF.
bool high_bmp_lead(unsigned char byte) { return byte == 0xee || byte == 0xef; }
bool supplementary_lead(unsigned char byte) { return byte >= 0xf0; }

// The members in canonical order, then written; most objects are small enough for the stack.
template <class Pointers>
record::Checked<void> append_sorted(std::string& out, Pointers& members, std::size_t depth) {
    const auto less = [](const Member* a, const Member* b) { return utf16_less(a->name, b->name); };
    if (!std::ranges::is_sorted(members, less)) std::ranges::sort(members, less);
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

constexpr std::size_t kStackMembers = 16;

record::Checked<void> append_members(std::string& out, std::span<const Member* const> members, std::size_t depth) {
    if (members.size() <= kStackMembers) {
        std::array<const Member*, kStackMembers> buffer;
        std::ranges::copy(members, buffer.begin());
        std::span<const Member*> held(buffer.data(), members.size());
        return append_sorted(out, held, depth);
    }
    std::vector<const Member*> held(members.begin(), members.end());
    return append_sorted(out, held, depth);
}

record::Checked<void> append_object(std::string& out, const Node& node, std::size_t depth) {
    if (node.members.size() <= kStackMembers) {
        std::array<const Member*, kStackMembers> buffer;
        for (std::size_t i = 0; i < node.members.size(); ++i) buffer[i] = &node.members[i];
        std::span<const Member*> held(buffer.data(), node.members.size());
        return append_sorted(out, held, depth);
    }
    std::vector<const Member*> held;
    held.reserve(node.members.size());
    for (const Member& member : node.members) held.push_back(&member);
    return append_sorted(out, held, depth);
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
        case Node::Kind::Object: return append_object(out, node, depth + 1);
    }
    return {};
}

}  // namespace

bool utf16_less(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t at = 0;
    while (at < common && a[at] == b[at]) ++at;
    if (at == common) return a.size() < b.size();
    // UTF-8 bytes sort as code points, and so as UTF-16 units, except where a character of
    // U+E000..U+FFFF meets one above U+FFFF, which UTF-16 writes from 0xD800 up. A difference
    // inside a sequence has equal lead bytes before it, so only lead bytes need a look.
    const auto x = static_cast<unsigned char>(a[at]), y = static_cast<unsigned char>(b[at]);
    if (high_bmp_lead(x) && supplementary_lead(y)) return false;
    if (supplementary_lead(x) && high_bmp_lead(y)) return true;
    return x < y;
}

record::Checked<void> append_canonical(std::string& out, const Node& node) { return append_value(out, node, 0); }

record::Checked<void> append_canonical_object(std::string& out, std::span<const Member* const> members) {
    return append_members(out, members, 1);
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
