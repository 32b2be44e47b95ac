// The DID map: a compressed sparse Merkle tree from 256-bit keys to 32-byte values.
//
// Bit 0 of a key is the high bit of its byte 0, and 0 goes left. An empty subtree hashes to
// 32 zero bytes, a subtree holding one key to H(0x02 || key || value) at whatever depth, a
// subtree holding more to H(0x03 || left || right); so the root depends only on the pairs.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "tlog/map_hashing.hpp"

namespace vek::tlog {

struct MapPair {
    Hash key;
    Hash value;
};

// The siblings along a key's path from the root's children down to the first subtree holding
// at most one key, and that subtree's pair if it has one.
struct MapPath {
    std::vector<Hash> siblings;
    std::optional<MapPair> leaf;
};

class DidMap {
public:
    // A later pair for the same key wins.
    explicit DidMap(std::vector<MapPair> pairs = {});

    std::size_t size() const { return entries_.size(); }
    std::optional<Hash> get(const Hash& key) const;
    // Sets each key's value; a later pair for the same key wins.
    void update(std::vector<MapPair> pairs);
    // Removes each key that is in the map.
    void discard(std::span<const Hash> keys);

    Hash root();
    MapPath prove(const Hash& key);

    // Whether root() and prove() find every large subtree's hash kept, hashing only a few
    // small ones: false after a change until the next root().
    bool settled() const { return settled_; }

private:
    Hash subtree_hash(unsigned depth, std::size_t low, std::size_t high);
    Hash fork_hash(unsigned fork, std::size_t low, std::size_t high);
    std::size_t split(unsigned depth, std::size_t low, std::size_t high) const;
    void forget_path(const Hash& key);

    // Sorted by key, one per key. Every run of two or more keys that share a prefix forks at
    // exactly one boundary between neighbours, so the hash of each fork is kept at the index
    // of the entry before its boundary, valid while known_ says so, and moves with that entry.
    std::vector<MapPair> entries_;
    std::vector<Hash> fork_hashes_;
    std::vector<std::uint8_t> known_;
    bool settled_ = false;
    MapHasher hasher_;
};

}  // namespace vek::tlog
