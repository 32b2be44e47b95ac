// JSON parsing that refuses what a lenient parser would quietly resolve: a member name twice
// in one object (one text would say two things to two readers), NaN and Infinity, numbers no
// float holds, nesting deeper than any document needs, text that is not UTF-8 and escapes of
// lone surrogates (no UTF-8 form, so no key can have signed them).
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/refusal.hpp"

namespace vek::json {

struct Member;

// A node of a parsed text. It owns nothing: its texts are views of the source or of the
// document's unescaped copies, its elements and members live in the document's arena. So it
// is copied as plain bytes, and a tree goes with its document in one release, not node by node.
struct Node {
    enum class Kind : std::uint8_t { Null, False, True, Number, String, Array, Object };

    Kind kind = Kind::Null;
    // A string's value, or a number's spelling.
    std::string_view text;
    std::span<const Node> elements;
    // In the order of the text.
    std::span<const Member> members;
};

struct Member {
    std::string_view name;
    Node value;
};

static_assert(std::is_trivially_copyable_v<Node> && std::is_trivially_destructible_v<Member>);

// A parsed text. Texts without escapes are views of the source, which must outlive the
// document; texts with escapes live in the document itself, and so does the tree.
struct JsonDocument {
    Node root;
    std::vector<std::unique_ptr<std::string>> unescaped;
    // Holds every node below the root, allocated in a few large blocks.
    std::unique_ptr<std::pmr::monotonic_buffer_resource> arena;
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
