// JSON parsing that refuses what a lenient parser would quietly resolve: a member name twice
// in one object (one text would say two things to two readers), NaN and Infinity, numbers no
// float holds, nesting deeper than any document needs, text that is not UTF-8 and escapes of
// lone surrogates (no UTF-8 form, so no key can have signed them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/refusal.hpp"

namespace vek::json {

struct Member;

struct Node {
    enum class Kind : std::uint8_t { Null, False, True, Number, String, Array, Object };

    // Each member initialised on its own: clearing the whole node as one block of memory is
    // what the parser would otherwise spend most of its time on. Defined below, where
    // Member is complete.
    Node() noexcept;

    Kind kind = Kind::Null;
    // A string's value, or a number's spelling.
    std::string_view text;
    std::vector<Node> elements;
    // In the order of the text.
    std::vector<Member> members;
};

struct Member {
    Member() noexcept {}

    std::string_view name;
    Node value;
};

inline Node::Node() noexcept {}

// A parsed text. Texts without escapes are views of the source, which must outlive the
// document; texts with escapes live in the document itself.
struct JsonDocument {
    Node root;
    std::vector<std::unique_ptr<std::string>> unescaped;
};

// Deeper nesting is refused; a signed document nests four levels.
inline constexpr int kMaxDepth = 1000;
// No number belongs in a signed document; this only keeps the refusal of a long one plain.
inline constexpr std::size_t kMaxIntegerDigits = 1000;

// Exactly one JSON value, with white space around it.
Checked<JsonDocument> parse_strict(std::string_view text);

// "an object", "a string", ...: the type of a value as messages name it.
std::string_view type_name(const Node& node);

}  // namespace vek::json
