#include "json/reader.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>

#include "json/plain_run.hpp"
#include "json/spare_blocks.hpp"
#include "json/strings.hpp"
#include "json/utf8.hpp"

namespace vek::json {

std::string_view type_name(const Node& node) {
    switch (node.kind) {
        case Node::Kind::Null: return "null";
        case Node::Kind::False:
        case Node::Kind::True: return "a boolean";
        case Node::Kind::Number: return "a number";
        case Node::Kind::String: return "a string";
        case Node::Kind::Array: return "an array";
        case Node::Kind::Object: return "an object";
    }
    return "a value";
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// How many of the eight bytes at `at` are spaces before the first other byte (8 if none).
std::size_t leading_spaces(const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    const std::uint64_t others = word ^ (detail::kOnes * ' ');
    if (others == 0) return 8;
    const int bits = std::endian::native == std::endian::little ? std::countr_zero(others) : std::countl_zero(others);
    return static_cast<std::size_t>(bits) >> 3;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

std::string lone_surrogate(std::uint32_t unit) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::string code = {kDigits[unit >> 12 & 15], kDigits[unit >> 8 & 15], kDigits[unit >> 4 & 15], kDigits[unit & 15]};
    return "a text holds the lone surrogate U+" + code + ", which has no UTF-8 form";
}

// The arena's first block, for a text of `size` bytes: the tree of a typical document in one
// block (a node takes 56 bytes and most take 10 to 20 bytes of text); larger trees grow into
// further blocks rather than claim memory for what a long string does not need.
std::size_t arena_start(std::size_t size) { return std::clamp<std::size_t>(size * 4, 1024, std::size_t{1} << 20); }

constexpr std::size_t kStackReserved = 32;

// A recursive descent over the text. The first refusal stops it; its message is kept in
// `refusal_` and every function returns false from then on.
class Parser {
public:
    Parser(std::string_view text, JsonDocument& document) : text_(text), document_(document) {
        document_.arena = std::make_unique<std::pmr::monotonic_buffer_resource>(arena_start(text.size()), spare_blocks());
        // Room for the entries a signed document has open at once, so that its stacks never grow.
        members_.reserve(kStackReserved);
        elements_.reserve(kStackReserved);
    }

    Checked<void> parse() {
        if (text_.starts_with("\xef\xbb\xbf")) {
            return refuse("not JSON: Unexpected UTF-8 BOM (decode using utf-8-sig) at line 1 column 1");
        }
        skip_space();
        if (value(document_.root, 0)) {
            skip_space();
            if (pos_ == text_.size()) return {};
            syntax("Extra data", pos_);
        }
        return std::unexpected(std::move(refusal_));
    }

private:
    bool fail(std::string message) {
        refusal_.message = std::move(message);
        return false;
    }

    // The parser's own words for malformed text, with the place as line and column (in
    // characters, counted from 1).
    bool syntax(std::string_view what, std::size_t at) {
        std::size_t line = 1, column = 1;
        for (std::size_t i = 0; i < at && i < text_.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text_[i]);
            if (byte == '\n') {
                ++line;
                column = 1;
            } else if ((byte & 0xc0) != 0x80) {
                ++column;
            }
        }
        return fail("not JSON: " + std::string(what) + " at line " + std::to_string(line) + " column " +
                    std::to_string(column));
    }

    void skip_space() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == ' ' && pos_ + 8 <= text_.size()) {
                // Most white space is indentation: its spaces are passed eight at a time.
                pos_ += leading_spaces(text_.data() + pos_);
                continue;
            }
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            ++pos_;
        }
    }

    bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    bool at(std::string_view word) const { return text_.substr(pos_).starts_with(word); }

    bool value(Node& out, int depth) {
        if (pos_ >= text_.size()) return syntax("Expecting value", pos_);
        switch (text_[pos_]) {
            case '{': return object(out, depth + 1);
            case '[': return array(out, depth + 1);
            case '"':
                out.kind = Node::Kind::String;
                return string(out.text);
            case 'n': return word("null", Node::Kind::Null, out);
            case 't': return word("true", Node::Kind::True, out);
            case 'f': return word("false", Node::Kind::False, out);
            case 'N':
                if (at("NaN")) return fail("NaN is not a JSON value");
                break;
            case 'I':
                if (at("Infinity")) return fail("Infinity is not a JSON value");
                break;
            case '-':
                if (at("-Infinity")) return fail("-Infinity is not a JSON value");
                return number(out);
            default:
                if (is_digit(text_[pos_])) return number(out);
        }
        return syntax("Expecting value", pos_);
    }

    bool word(std::string_view spelling, Node::Kind kind, Node& out) {
        if (!at(spelling)) return syntax("Expecting value", pos_);
        pos_ += spelling.size();
        out.kind = kind;
        return true;
    }

    bool object(Node& out, int depth) {
        if (depth > kMaxDepth) return fail("not JSON that can be read: nested too deeply");
        out.kind = Node::Kind::Object;
        ++pos_;
        skip_space();
        if (at('}')) {
            ++pos_;
            return true;
        }
        // The members gather on the parser's stack, shared by every object not yet complete,
        // and are copied into the arena, exactly as many as there are, once the object is.
        const std::size_t base = members_.size();
        while (true) {
            if (!at('"')) return syntax("Expecting property name enclosed in double quotes", pos_);
            const std::size_t index = members_.size();
            if (!string(add_member().name)) return false;
            skip_space();
            if (!at(':')) return syntax("Expecting ':' delimiter", pos_);
            ++pos_;
            skip_space();
            if (!value_into(members_, index, depth)) return false;
            skip_space();
            if (at('}')) {
                ++pos_;
                out.members = keep(members_, base);
                return unique_names(out.members);
            }
            if (!at(',')) return syntax("Expecting ',' delimiter", pos_);
            ++pos_;
            skip_space();
        }
    }

    // An empty entry on a stack, its fields set one by one: value-initialised as a whole, the
    // compiler clears it with a block instruction whose start-up costs more than the stores.
    Member& add_member() {
        Member& member = members_.emplace_back(std::string_view(), Node{Node::Kind::Null, {}, {}, {}});
        return member;
    }

    static Node& node_of(Member& member) { return member.value; }
    static Node& node_of(Node& node) { return node; }

    // The value at pos_ into entry `index` of `stack`: most in place. The entries of an object
    // or array go on the stacks meanwhile, which may move them: that one is read beside them
    // and then copied in.
    template <class Entry>
    bool value_into(std::vector<Entry>& stack, std::size_t index, int depth) {
        if (!at('{') && !at('[')) return value(node_of(stack[index]), depth);
        Node nested{Node::Kind::Null, {}, {}, {}};
        if (!value(nested, depth)) return false;
        // Field by field, for the same reason as add_member; an object or array has no text.
        Node& target = node_of(stack[index]);
        target.kind = nested.kind;
        target.elements = nested.elements;
        target.members = nested.members;
        return true;
    }

    // The entries of `stack` from `base` on, copied into the arena.
    template <class Entry>
    std::span<const Entry> keep(std::vector<Entry>& stack, std::size_t base) {
        const std::size_t count = stack.size() - base;
        auto* place = static_cast<Entry*>(document_.arena->allocate(count * sizeof(Entry), alignof(Entry)));
        std::uninitialized_copy(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end(), place);
        stack.resize(base);
        return {place, count};
    }

    // Names of the same length mostly differ in their first or last byte: looked at before
    // the call that compares them whole.
    static bool same_name(std::string_view a, std::string_view b) {
        return a.size() == b.size() && (a.empty() || (a.front() == b.front() && a.back() == b.back() && a == b));
    }

    // Checked when the object is complete, so that a malformed text inside it is reported
    // as such first.
    bool unique_names(std::span<const Member> members) {
        constexpr std::size_t kPairwise = 16;
        if (members.size() <= kPairwise) {
            for (std::size_t i = 1; i < members.size(); ++i) {
                for (std::size_t j = 0; j < i; ++j) {
                    if (same_name(members[i].name, members[j].name)) return fail("duplicate member " + quoted(members[i].name));
                }
            }
            return true;
        }
        std::unordered_set<std::string_view> seen;
        seen.reserve(members.size());
        for (const Member& member : members) {
            if (!seen.insert(member.name).second) return fail("duplicate member " + quoted(member.name));
        }
        return true;
    }

    bool array(Node& out, int depth) {
        if (depth > kMaxDepth) return fail("not JSON that can be read: nested too deeply");
        out.kind = Node::Kind::Array;
        ++pos_;
        skip_space();
        if (at(']')) {
            ++pos_;
            return true;
        }
        const std::size_t base = elements_.size();
        while (true) {
            const std::size_t index = elements_.size();
            elements_.emplace_back();
            if (!value_into(elements_, index, depth)) return false;
            skip_space();
            if (at(']')) {
                ++pos_;
                out.elements = keep(elements_, base);
                return true;
            }
            if (!at(',')) return syntax("Expecting ',' delimiter", pos_);
            ++pos_;
            skip_space();
        }
    }

    bool number(Node& out) {
        const std::size_t start = pos_;
        if (at('-')) ++pos_;
        if (at('0')) {
            ++pos_;
        } else if (pos_ < text_.size() && is_digit(text_[pos_])) {
            while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
        } else {
            return syntax("Expecting value", start);
        }
        const std::size_t integer_end = pos_;
        bool fraction = false;
        if (at('.') && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1])) {
            fraction = true;
            pos_ += 2;
            while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
        }
        bool exponent = false;
        if (at('e') || at('E')) {
            std::size_t digits = pos_ + 1;
            if (digits < text_.size() && (text_[digits] == '+' || text_[digits] == '-')) ++digits;
            if (digits < text_.size() && is_digit(text_[digits])) {
                exponent = true;
                pos_ = digits;
                while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
            }
        }
        out.kind = Node::Kind::Number;
        out.text = text_.substr(start, pos_ - start);
        if (!fraction && !exponent) {
            const std::size_t digits = integer_end - start - (text_[start] == '-' ? 1 : 0);
            if (digits > kMaxIntegerDigits) {
                return fail("number of " + std::to_string(out.text.size()) + " digits is out of range");
            }
            return true;
        }
        return finite(out.text);
    }

    // Whether a float holds `spelling`: beyond its largest value is out of range; below its
    // smallest it is zero, which is a float.
    bool finite(std::string_view spelling) {
        double value = 0;
        const auto [end, error] = std::from_chars(spelling.data(), spelling.data() + spelling.size(), value);
        if (error != std::errc::result_out_of_range) return true;
        // Out of range either way: the decimal exponent of the leading digit says which.
        std::string_view digits = spelling.substr(spelling.starts_with('-') ? 1 : 0);
        long magnitude = 0;
        const std::size_t exponent_at = digits.find_first_of("eE");
        std::string_view mantissa = digits.substr(0, exponent_at);
        if (exponent_at != std::string_view::npos) {
            std::string_view exponent = digits.substr(exponent_at + 1);
            const bool negative = exponent.starts_with('-');
            if (exponent.starts_with('-') || exponent.starts_with('+')) exponent.remove_prefix(1);
            // Only the size matters: a long exponent is clamped far beyond any float.
            for (const char c : exponent) magnitude = std::min(magnitude * 10 + (c - '0'), 100000L);
            if (negative) magnitude = -magnitude;
        }
        const std::size_t point = mantissa.find('.');
        const std::string_view whole = mantissa.substr(0, point);
        const std::size_t significant = whole.find_first_not_of('0');
        if (significant != std::string_view::npos) {
            magnitude += static_cast<long>(whole.size() - significant);
        } else {
            const std::string_view fraction = point == std::string_view::npos ? "" : mantissa.substr(point + 1);
            magnitude -= static_cast<long>(fraction.find_first_not_of('0'));
        }
        if (magnitude <= 0) return true;
        return fail("number " + quoted(spelling) + " is out of range");
    }

    // A string at pos_ (its opening quote), as a view of the source when it has no escapes.
    bool string(std::string_view& out) {
        const std::size_t start = pos_++;
        std::size_t run = pos_;  // the start of the bytes not yet copied to `copy`
        std::string* copy = nullptr;
        while (true) {
            if (pos_ >= text_.size()) return syntax("Unterminated string starting", start);
            // Most bytes of a text stand for themselves: skip them as a run.
            pos_ += plain_run(text_.substr(pos_), true);
            if (pos_ >= text_.size()) return syntax("Unterminated string starting", start);
            const auto byte = static_cast<unsigned char>(text_[pos_]);
            if (byte == '"') break;
            if (byte < 0x20) return syntax("Invalid control character", pos_);
            if (byte >= 0x80) {
                const std::size_t length = utf8_sequence_length(text_.substr(pos_));
                if (length == 0) return syntax("Invalid UTF-8", pos_);
                pos_ += length;
                continue;
            }
            if (byte != '\\') {
                ++pos_;
                continue;
            }
            if (copy == nullptr) copy = document_.unescaped.emplace_back(std::make_unique<std::string>()).get();
            copy->append(text_, run, pos_ - run);
            if (!escape(*copy)) return false;
            run = pos_;
        }
        if (copy == nullptr) {
            out = text_.substr(start + 1, pos_ - start - 1);
        } else {
            copy->append(text_, run, pos_ - run);
            out = *copy;
        }
        ++pos_;
        return true;
    }

    // One escape at pos_ (its backslash), appended to `out` as UTF-8.
    bool escape(std::string& out) {
        const std::size_t start = pos_;
        if (pos_ + 1 >= text_.size()) return syntax("Unterminated string starting", start);
        const char letter = text_[pos_ + 1];
        pos_ += 2;
        switch (letter) {
            case '"': out += '"'; return true;
            case '\\': out += '\\'; return true;
            case '/': out += '/'; return true;
            case 'b': out += '\b'; return true;
            case 'f': out += '\f'; return true;
            case 'n': out += '\n'; return true;
            case 'r': out += '\r'; return true;
            case 't': out += '\t'; return true;
            case 'u': break;
            default: return syntax("Invalid \\escape", start);
        }
        const auto unit = code_unit(start);
        if (unit < 0) return false;
        auto code = static_cast<std::uint32_t>(unit);
        if (code >= 0xdc00 && code <= 0xdfff) return fail(lone_surrogate(code));
        if (code >= 0xd800 && code <= 0xdbff) {
            if (!at("\\u")) return fail(lone_surrogate(code));
            const std::size_t second = pos_;
            pos_ += 2;
            const auto low = code_unit(second);
            if (low < 0) return false;
            if (low < 0xdc00 || low > 0xdfff) return fail(lone_surrogate(code));
            code = 0x10000 + ((code - 0xd800) << 10) + (static_cast<std::uint32_t>(low) - 0xdc00);
        }
        append_utf8(out, code);
        return true;
    }

    // The four hex digits at pos_, of the escape that starts at `start`; -1 when refused.
    long code_unit(std::size_t start) {
        long unit = 0;
        for (int i = 0; i < 4; ++i, ++pos_) {
            const int digit = pos_ < text_.size() ? hex_value(text_[pos_]) : -1;
            if (digit < 0) {
                syntax("Invalid \\uXXXX escape", start);
                return -1;
            }
            unit = unit << 4 | digit;
        }
        return unit;
    }

    std::string_view text_;
    JsonDocument& document_;
    std::size_t pos_ = 0;
    Refusal refusal_;
    // The members and elements of the objects and arrays not yet complete, innermost last.
    std::vector<Member> members_;
    std::vector<Node> elements_;
};

}  // namespace

Checked<JsonDocument> parse_strict(std::string_view text) {
    JsonDocument document;
    if (auto parsed = Parser(text, document).parse(); !parsed) return std::unexpected(std::move(parsed.error()));
    return document;
}

}  // namespace vek::json
