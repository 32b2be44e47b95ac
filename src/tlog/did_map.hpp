// The DID map: a compressed sparse Merkle tree from 256-bit keys to 32-byte values.
//
// Bit 0 of a key is the high bit of its byte 0, and 0 goes left. An empty subtree hashes to
// 32 zero bytes, a subtree holding one key to H(0x02 || key || value) at whatever depth, a
// subtree holding more to H(0x03 || left || right); so the root depends only on the pairs.
#pragma once

#include <cstddef>
#include <cstdint>
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

    std::size_t size() const { return order_.size(); }
    std::optional<Hash> get(const Hash& key) const;
    // Sets each key's value; a later pair for the same key wins.
    void update(std::vector<MapPair> pairs);
    // Removes each key that is in the map.
    void discard(std::span<const Hash> keys);

    Hash root();
    MapPath prove(const Hash& key);

    // Whether every fork's hash is kept, so that root() and prove() hash nothing or next to
    // nothing: false after a change until the next root().
    bool settled() const { return settled_; }

private:
    // One pair, and the hash of the fork at the boundary between it and the next key, valid
    // while `known`. Every run of two or more keys that share a prefix forks at exactly one
    // boundary between neighbours, so each fork's hash has one place.
    struct Slot {
        MapPair pair;
        Hash fork_hash;
        bool known = false;
    };

    const Hash& key_at(std::size_t position) const { return slots_[order_[position]].pair.key; }
    std::size_t lower_bound(const Hash& key, std::size_t from) const;
    std::uint32_t new_slot(const MapPair& pair);
    Hash subtree_hash(unsigned depth, std::size_t low, std::size_t high);
    Hash fork_hash(unsigned fork, std::size_t low, std::size_t high);
    std::size_t split(unsigned depth, std::size_t low, std::size_t high) const;
    void note_changed();
    bool touches_change(unsigned fork, const Hash& key) const;

    // The slots stay where they are; a change moves only the 4-byte indices of the order, so
    // adding a few keys to a map of millions moves a few megabytes, not hundreds.
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> order_;  // the slots of the pairs, sorted by key
    std::vector<std::uint32_t> free_slots_;
    std::vector<Hash> changed_;  // sorted: the keys set or removed since the last root
    bool settled_ = false;
    MapHasher hasher_;
};

}  // namespace vek::tlog
