#include <optional>

#include "did/did_syntax.hpp"
#include "test_support.hpp"

using namespace vek;
using did::is_valid_did;

TEST_CASE("is_valid_did: did:vek: and a non-empty identifier over letters, digits and - . : _") {
    const std::pair<std::string_view, bool> cases[] = {
        {"did:vek:abc", true}, {"did:vek:a:b:c", true}, {"did:vek:A-b.c_9", true}, {"did:vek::", true},
        {"did:vek:0123456789-.:_ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", true},
        {"did:vek:", false}, {"DID:vek:abc", false}, {"did:VEK:abc", false}, {"did:web:abc", false},
        {"did:vek", false}, {"", false}, {"did:vek:a b", false}, {"did:vek:a/b", false}, {"did:vek:a#b", false},
        {"did:vek:a%20", false}, {"did:vek:a?b", false}, {"did:vek:a@b", false}, {"did:vek:caf\xc3\xa9", false},
        {"did:vek:\x7f", false}, {"did:vek:\xff", false}, {std::string_view("did:vek:a\0b", 11), false},
        {" did:vek:abc", false}, {"did:vek:abc ", false}, {"did:vek:abc\n", false},
    };
    for (const auto& [view, valid] : cases) {
        const std::string text(view);
        CAPTURE(text);
        CHECK(is_valid_did(text) == valid);
    }
}

TEST_CASE("parse_did splits at the first two colons and ignores method and characters") {
    using Pair = std::pair<std::string_view, std::string_view>;
    const std::pair<std::string_view, std::optional<Pair>> cases[] = {
        {"did:web:abc", Pair{"web", "abc"}}, {"did:vek:a:b", Pair{"vek", "a:b"}}, {"did::", Pair{"", ""}},
        {"did:vek:", Pair{"vek", ""}}, {"did:vek:a b", Pair{"vek", "a b"}}, {"did:vek", std::nullopt},
        {"did:", std::nullopt}, {"", std::nullopt}, {"DID:vek:abc", std::nullopt}, {"xdid:vek:abc", std::nullopt},
    };
    for (const auto& [view, expected] : cases) {
        const std::string text(view);
        CAPTURE(text);
        const auto parsed = did::parse_did(text);
        REQUIRE(parsed.has_value() == expected.has_value());
        if (parsed) CHECK(Pair{parsed->method, parsed->identifier} == *expected);
    }
}

TEST_CASE("create_did_from_parts: the empty list first, then the characters, then the joined DID") {
    using Parts = std::vector<std::string>;
    CHECK(did::create_did_from_parts(Parts{}).error() == errors::did_needs_part);
    for (const std::string& bad : Parts{"a b", "a/b", "a#b", "caf\xc3\xa9", "\xe2\x82\xac", "\x7f", "%", {'\0'}}) {
        CAPTURE(bad);
        CHECK(did::create_did_from_parts(Parts{bad}).error() == errors::did_invalid_characters);
        CHECK(did::create_did_from_parts(Parts{"ok", bad}).error() == errors::did_invalid_characters);
    }
    const std::pair<Parts, std::string_view> cases[] = {
        {{"abc"}, "did:vek:abc"}, {{"a", "b", "c"}, "did:vek:a:b:c"}, {{"a:b", "c"}, "did:vek:a:b:c"},
        {{"", ""}, "did:vek::"},  {{"", "x", ""}, "did:vek::x:"},     {{"A-b.c_9"}, "did:vek:A-b.c_9"},
        {{""}, "did:vek:"},
    };
    for (const auto& [parts, expected] : cases) {
        const auto created = did::create_did_from_parts(parts);
        REQUIRE(created.has_value());
        CHECK(*created == expected);
        // Every result except the bare prefix passes the DID check.
        CHECK(is_valid_did(*created) == (*created != "did:vek:"));
    }
}
