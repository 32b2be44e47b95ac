#include "credentials/canonical_json.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "credentials/number_form.hpp"
#include "json/writer.hpp"

namespace vek::credentials {
namespace {

using json::Member;
using json::Node;

// Lead bytes of U+E000..U+FFFF, and of the characters above U+FFFF.
bool high_bmp_lead(unsigned char byte) { return byte == 0xee || byte == 0xef; }
bool supplementary_lead(unsigned char byte) { return byte >= 0xf0; }

constexpr std::size_t kRecursionLimit = json::kMaxDepth + 1;
// Most objects are small enough to sort on the stack.
constexpr std::size_t kStackMembers = 16;
// Records are remembered this deep; deeper ones are sorted each time.
constexpr std::size_t kRememberedDepths = 8;

class Canonical {
public:
    Canonical(std::string& out, std::string_view source) : writer_(out, json::Layout::Compact), source_(source) {}

    Checked<void> value(const Node& node, std::size_t depth) {
        // The reader bounds the nesting of what it reads; a tree built otherwise is bounded here.
        if (depth > kRecursionLimit) return refuse("not JSON that can be read: nested too deeply");
        switch (node.kind) {
            case Node::Kind::Null: writer_.literal("null"); return {};
            case Node::Kind::False: writer_.literal("false"); return {};
            case Node::Kind::True: writer_.literal("true"); return {};
            case Node::Kind::String:
                if (read_without_escapes(node.text)) {
                    writer_.plain_string(node.text);
                } else {
                    writer_.string(node.text);
                }
                return {};
            case Node::Kind::Number: {
                NumberBuffer buffer;
                auto form = number_form(node.text, buffer);
                if (!form) return std::unexpected(std::move(form.error()));
                writer_.literal(*form);
                return {};
            }
            case Node::Kind::Array:
                writer_.begin_array();
                for (const Node& element : node.elements) {
                    const auto written = element.kind == Node::Kind::Object ? record(element, depth + 1)
                                                                              : value(element, depth + 1);
                    if (!written) return written;
                }
                writer_.end_array();
                return {};
            case Node::Kind::Object: {
                if (node.members.size() <= kStackMembers) {
                    std::array<const Member*, kStackMembers> buffer;
                    for (std::size_t i = 0; i < node.members.size(); ++i) buffer[i] = &node.members[i];
                    return object(std::span<const Member*>(buffer.data(), node.members.size()), depth + 1);
                }
                std::vector<const Member*> held;
                held.reserve(node.members.size());
                for (const Member& member : node.members) held.push_back(&member);
                return object(held, depth + 1);
            }
        }
        return {};
    }

    // An object in an array. Arrays of records repeat one set of names in one order: the
    // order found for the last record at a depth serves the next one there with the same
    // names, which costs a comparison of names instead of a sort.
    Checked<void> record(const Node& node, std::size_t depth) {
        if (depth >= kRememberedDepths || node.members.size() > kStackMembers) return value(node, depth);
        RememberedOrder& remembered = orders_[depth];
        std::array<const Member*, kStackMembers> buffer;
        const std::span<const Member*> members(buffer.data(), node.members.size());
        if (remembered.same_names(node.members)) {
            for (std::size_t i = 0; i < members.size(); ++i) members[i] = &node.members[remembered.order[i]];
            return write_object(members, depth + 1);
        }
        for (std::size_t i = 0; i < members.size(); ++i) members[i] = &node.members[i];
        sort(members);
        remembered.names.clear();
        for (const Member& member : node.members) remembered.names.push_back(member.name);
        remembered.order.clear();
        for (const Member* member : members) remembered.order.push_back(static_cast<std::uint8_t>(member - node.members.data()));
        return write_object(members, depth + 1);
    }

    // The members in canonical order, then written.
    Checked<void> object(std::span<const Member*> members, std::size_t depth) {
        sort(members);
        return write_object(members, depth);
    }

    static void sort(std::span<const Member*> members) {
        const auto less = [](const Member* a, const Member* b) { return utf16_less(a->name, b->name); };
        if (!std::ranges::is_sorted(members, less)) std::ranges::sort(members, less);
    }

    Checked<void> write_object(std::span<const Member* const> members, std::size_t depth) {
        writer_.begin_object();
        for (const Member* member : members) {
            if (read_without_escapes(member->name)) {
                writer_.plain_name(member->name);
            } else {
                writer_.name(member->name);
            }
            if (auto written = value(member->value, depth); !written) return written;
        }
        writer_.end_object();
        return {};
    }

private:
    bool read_without_escapes(std::string_view text) const {
        return std::less_equal<const char*>{}(source_.data(), text.data()) &&
               std::less_equal<const char*>{}(text.data() + text.size(), source_.data() + source_.size());
    }

    struct RememberedOrder {
        std::vector<std::string_view> names;  // as read
        std::vector<std::uint8_t> order;      // their indexes in canonical order

        bool same_names(std::span<const Member> members) const {
            if (members.size() != names.size() || members.empty()) return false;
            for (std::size_t i = 0; i < members.size(); ++i) {
                if (members[i].name != names[i]) return false;
            }
            return true;
        }
    };

    json::Writer writer_;
    std::string_view source_;
    std::array<RememberedOrder, kRememberedDepths> orders_;
};

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

Checked<void> append_canonical(std::string& out, const Node& node, std::string_view source) {
    return Canonical(out, source).value(node, 0);
}

Checked<void> append_canonical_object(std::string& out, std::span<const Member* const> members,
                                      std::string_view source) {
    if (members.size() <= kStackMembers) {
        std::array<const Member*, kStackMembers> buffer;
        std::ranges::copy(members, buffer.begin());
        return Canonical(out, source).object(std::span<const Member*>(buffer.data(), members.size()), 1);
    }
    std::vector<const Member*> held(members.begin(), members.end());
    return Canonical(out, source).object(held, 1);
}

Checked<std::string> canonicalize(std::string_view text) {
    auto document = json::parse_strict(text);
    if (!document) return std::unexpected(std::move(document.error()));
    std::string out;
    out.reserve(text.size());
    if (auto written = append_canonical(out, document->root, text); !written) return std::unexpected(written.error());
    return out;
}

}  // namespace vek::credentials
