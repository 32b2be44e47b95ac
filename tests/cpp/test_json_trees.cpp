// Trees of parsed texts share their memory with nothing: the blocks a released tree leaves
// for the next parse on its thread must never be handed to two trees alive at once.
#include <doctest/doctest.h>

#include <string>
#include <thread>
#include <vector>

#include "json/reader.hpp"

using namespace vek::json;

namespace {

// Every kind, text, name and the shape of the tree, in one string.
void describe(const Node& node, std::string& out) {
    out += static_cast<char>('0' + static_cast<int>(node.kind));
    out += node.text;
    for (const Node& element : node.elements) describe(element, out += '[');
    for (const Member& member : node.members) describe(member.value, (out += '{') += member.name);
    out += ';';
}

std::string described(const JsonDocument& document) {
    std::string out;
    describe(document.root, out);
    return out;
}

// A text of about `entries` objects, its texts escaped now and then.
std::string text_of(int entries, int seed) {
    std::string text = "[";
    for (int i = 0; i < entries; ++i) {
        text += R"({"id":"urn:)" + std::to_string(seed) + ":" + std::to_string(i) + R"(","n":)" + std::to_string(i * seed) +
                R"(,"t":["a\n",true,null,)" + std::to_string(i) + ".5]},";
    }
    return text + "{}]";
}

struct Parsed {
    std::string text;
    JsonDocument document;
    std::string description;
};

// Parses texts of sizes that cross many block sizes, releasing some while keeping others,
// and checks that every kept tree is still the one it was when parsed.
void parse_keep_and_release(int seed) {
    std::vector<Parsed> kept;
    for (int round = 0; round < 3; ++round) {
        for (const int entries : {1, 700, 20, 5000, 3, 1400, 90}) {
            std::string text = text_of(entries, seed + round);
            auto document = parse_strict(text);
            REQUIRE(document.has_value());
            std::string description = described(*document);
            kept.push_back({std::move(text), std::move(*document), std::move(description)});
        }
        // Every other one released: their blocks go to the next parses.
        for (std::size_t i = kept.size(); i-- > 0;) {
            if (i % 2 == static_cast<std::size_t>(round % 2)) kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i));
        }
        for (const Parsed& parsed : kept) CHECK(described(parsed.document) == parsed.description);
    }
}

}  // namespace

TEST_CASE("trees kept while others are parsed and released stay as they were parsed, on one thread and on two") {
    parse_keep_and_release(1);
    std::thread other(parse_keep_and_release, 2);
    parse_keep_and_release(3);
    other.join();
}
