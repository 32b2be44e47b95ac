// The DID map's root against roots written out by hand from the tree's definition, with a
// digest of OpenSSL's own rather than the map's hasher; and kept hashes that follow changes.
#include <doctest/doctest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "tlog/did_map.hpp"

using vek::tlog::DidMap;
using vek::tlog::Hash;

namespace {

Hash sha256(const std::string& bytes) {
    Hash out;
    EVP_Digest(bytes.data(), bytes.size(), out.data(), nullptr, EVP_sha256(), nullptr);
    return out;
}

std::string text(const Hash& hash) { return std::string(hash.begin(), hash.end()); }

Hash leaf(const Hash& key, const Hash& value) { return sha256("\x02" + text(key) + text(value)); }
Hash node(const Hash& left, const Hash& right) { return sha256("\x03" + text(left) + text(right)); }

Hash key_from(std::uint8_t first, std::uint8_t last = 0) {
    Hash key{};
    key[0] = first;
    key[31] = last;
    return key;
}

const Hash kEmpty{};
const Hash kValue = sha256("value");

}  // namespace

TEST_CASE("two and three keys hash as the tree they make, empty subtrees included") {
    const Hash a = key_from(0x00), b = key_from(0x40), c = key_from(0x80);
    CHECK(DidMap().root() == kEmpty);
    CHECK(DidMap({{a, kValue}}).root() == leaf(a, kValue));
    CHECK(DidMap({{a, kValue}, {c, kValue}}).root() == node(leaf(a, kValue), leaf(c, kValue)));
    // a and b both go left at the root, and split at bit 1.
    CHECK(DidMap({{b, kValue}, {a, kValue}}).root() == node(node(leaf(a, kValue), leaf(b, kValue)), kEmpty));
    CHECK(DidMap({{c, kValue}, {a, kValue}, {b, kValue}}).root() ==
          node(node(leaf(a, kValue), leaf(b, kValue)), leaf(c, kValue)));
}

TEST_CASE("kept hashes follow keys added and removed beside them") {
    std::vector<vek::tlog::MapPair> pairs;
    for (int n = 0; n < 200; ++n) pairs.push_back({sha256("key " + std::to_string(n)), kValue});
    DidMap map(pairs);
    const Hash before = map.root();
    const Hash near = key_from(pairs[7].key[0], 1);
    map.update({{near, kValue}, {pairs[3].key, kEmpty}});
    const Hash changed = map.root();
    CHECK(changed != before);
    map.discard(std::vector<Hash>{near});
    map.update({{pairs[3].key, kValue}});
    CHECK(map.root() == before);
    CHECK(map.get(near) == std::nullopt);
    CHECK(map.get(pairs[3].key) == kValue);
}
