// base58btc multibase, as DID tools write Ed25519 keys: the did:key identifiers published for
// the RFC 8032 keys, leading zero bytes, and refused input.
#include <doctest/doctest.h>

#include <array>
#include <cstdint>

#include "view/multibase.hpp"

using vek::view::base58btc;
using vek::view::multibase_of_hex;

TEST_CASE("Ed25519 keys of RFC 8032 are the multibase that did:key publishes for them") {
    CHECK(*multibase_of_hex("ed01d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a") ==
          "z6MktwupdmLXVVqTzCw4i46r4uGyosGXRnR3XjN4Zq7oMMsw");
    CHECK(*multibase_of_hex("ed013d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c") ==
          "z6MkiaMbhXHNA4eJVCCj8dbzKzTgYDKf6crKgHVHid1F1WCT");
}

TEST_CASE("leading zero bytes are ones, and nothing is the empty text") {
    CHECK(base58btc(std::array<std::uint8_t, 0>{}).empty());
    CHECK(base58btc(std::array<std::uint8_t, 3>{0, 0, 1}) == "112");
    CHECK(base58btc(std::array<std::uint8_t, 1>{58}) == "21");
}

TEST_CASE("what is not lower-case hex of whole bytes is refused") {
    for (const char* text : {"ED01", "ed0", "zz", "ed 01"}) CHECK_FALSE(multibase_of_hex(text).has_value());
    CHECK(*multibase_of_hex("") == "z");
}
