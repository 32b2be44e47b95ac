#include "tlog/did_map.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace vek::tlog {
namespace {

bool key_less(const Hash& a, const Hash& b) { return std::memcmp(a.data(), b.data(), a.size()) < 0; }

bool pair_less(const MapPair& a, const MapPair& b) { return key_less(a.key, b.key); }

unsigned bit(const Hash& key, unsigned depth) { return (key[depth >> 3] >> (7 - (depth & 7))) & 1u; }

// How many leading bits two keys share; 256 for equal keys.
unsigned shared_bits(const Hash& a, const Hash& b) {
    for (std::size_t at = 0; at < a.size(); at += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a.data() + at, sizeof x);
        std::memcpy(&y, b.data() + at, sizeof y);
        if (x != y) {
            return static_cast<unsigned>(8 * at) +
                   static_cast<unsigned>(std::countl_zero(std::byteswap(x) ^ std::byteswap(y)));
        }
    }
    return 8 * static_cast<unsigned>(a.size());
}

// Sorted by key, one pair per key: of pairs with the same key, the last one given.
void sort_keeping_the_last(std::vector<MapPair>& pairs) {
    std::ranges::stable_sort(pairs, pair_less);
    auto kept = pairs.begin();
    for (auto at = pairs.begin(); at != pairs.end(); ++at) {
        if (std::next(at) != pairs.end() && std::next(at)->key == at->key) continue;
        *kept++ = *at;
    }
    pairs.erase(kept, pairs.end());
}

}  // namespace

DidMap::DidMap(std::vector<MapPair> pairs) : entries_(std::move(pairs)) {
    sort_keeping_the_last(entries_);
    fork_hashes_.resize(entries_.size());
    known_.assign(entries_.size(), 0);
}

std::optional<Hash> DidMap::get(const Hash& key) const {
    auto at = std::ranges::lower_bound(entries_, key, key_less, &MapPair::key);
    if (at != entries_.end() && at->key == key) return at->value;
    return std::nullopt;
}

void DidMap::update(std::vector<MapPair> pairs) {
    sort_keeping_the_last(pairs);
    std::vector<MapPair> added;
    for (const MapPair& pair : pairs) {
        auto at = std::ranges::lower_bound(entries_, pair.key, key_less, &MapPair::key);
        if (at != entries_.end() && at->key == pair.key) {
            at->value = pair.value;
        } else {
            added.push_back(pair);
        }
    }
    // The new keys, sorted, merged in from the back: each old entry moves at most once, and
    // its fork hash with it while its neighbour stays the same.
    std::size_t old_end = entries_.size(), new_end = added.size();
    const std::size_t size = old_end + new_end;
    entries_.resize(size);
    fork_hashes_.resize(size);
    known_.resize(size, 0);
    bool next_is_old = false;  // whether the entry after `out` was its neighbour before
    for (std::size_t out = size; new_end > 0;) {
        --out;
        if (old_end > 0 && key_less(added[new_end - 1].key, entries_[old_end - 1].key)) {
            --old_end;
            entries_[out] = entries_[old_end];
            fork_hashes_[out] = fork_hashes_[old_end];
            known_[out] = next_is_old && known_[old_end];
            next_is_old = true;
        } else {
            entries_[out] = added[--new_end];
            known_[out] = 0;
            next_is_old = false;
        }
        if (new_end == 0 && old_end > 0 && !next_is_old) known_[old_end - 1] = 0;
    }
    for (const MapPair& pair : pairs) forget_path(pair.key);
}

void DidMap::discard(std::span<const Hash> keys) {
    std::vector<Hash> gone(keys.begin(), keys.end());
    if (gone.empty()) return;
    std::ranges::sort(gone, key_less);
    std::vector<Hash> removed;
    auto next = gone.begin();
    const auto first = std::ranges::lower_bound(entries_, gone.front(), key_less, &MapPair::key);
    std::size_t kept = static_cast<std::size_t>(first - entries_.begin());
    for (std::size_t at = kept; at < entries_.size(); ++at) {
        while (next != gone.end() && key_less(*next, entries_[at].key)) ++next;
        if (next != gone.end() && *next == entries_[at].key) {
            removed.push_back(*next);
            if (kept > 0) known_[kept - 1] = 0;  // the entry before has another neighbour now
            continue;
        }
        entries_[kept] = entries_[at];
        fork_hashes_[kept] = fork_hashes_[at];
        known_[kept] = known_[at];
        ++kept;
    }
    entries_.resize(kept);
    fork_hashes_.resize(kept);
    known_.resize(kept);
    for (const Hash& key : removed) forget_path(key);
}

// Every fork whose run holds `key`, or would hold it, shares the key's first bits up to the
// fork: those are the hashes that a change of the key makes stale.
void DidMap::forget_path(const Hash& key) {
    settled_ = false;
    std::size_t low = 0, high = entries_.size();
    while (high - low > 1) {
        const unsigned fork = shared_bits(entries_[low].key, entries_[high - 1].key);
        if (shared_bits(key, entries_[low].key) < fork) return;
        const std::size_t middle = split(fork, low, high);
        known_[middle - 1] = 0;
        if (bit(key, fork) != 0) {
            low = middle;
        } else {
            high = middle;
        }
    }
}

Hash DidMap::root() {
    const Hash hash = subtree_hash(0, 0, entries_.size());
    settled_ = true;
    return hash;
}

// The first entry in [low, high) whose bit `depth` is 1; the run shares the bits before it.
std::size_t DidMap::split(unsigned depth, std::size_t low, std::size_t high) const {
    const auto first = entries_.begin() + static_cast<std::ptrdiff_t>(low);
    const auto last = entries_.begin() + static_cast<std::ptrdiff_t>(high);
    const auto at = std::partition_point(first, last, [depth](const MapPair& entry) { return bit(entry.key, depth) == 0; });
    return low + static_cast<std::size_t>(at - first);
}

Hash DidMap::subtree_hash(unsigned depth, std::size_t low, std::size_t high) {
    if (high == low) return Hash{};
    const Hash& key = entries_[low].key;
    if (high - low == 1) return hasher_.leaf(key, entries_[low].value);
    // Above its fork the run's keys all go one way: each level pairs the hash with an empty one.
    const unsigned fork = shared_bits(key, entries_[high - 1].key);
    Hash hash = fork_hash(fork, low, high);
    for (unsigned level = fork; level-- > depth;) {
        hash = bit(key, level) != 0 ? hasher_.node(Hash{}, hash) : hasher_.node(hash, Hash{});
    }
    return hash;
}

Hash DidMap::fork_hash(unsigned fork, std::size_t low, std::size_t high) {
    const std::size_t middle = split(fork, low, high);
    const std::size_t boundary = middle - 1;
    if (known_[boundary] == 0) {
        const Hash left = subtree_hash(fork + 1, low, middle);
        fork_hashes_[boundary] = hasher_.node(left, subtree_hash(fork + 1, middle, high));
        known_[boundary] = 1;
    }
    return fork_hashes_[boundary];
}

MapPath DidMap::prove(const Hash& key) {
    MapPath path;
    std::size_t low = 0, high = entries_.size();
    for (unsigned depth = 0; high - low > 1; ++depth) {
        const std::size_t middle = split(depth, low, high);
        if (bit(key, depth) != 0) {
            path.siblings.push_back(subtree_hash(depth + 1, low, middle));
            low = middle;
        } else {
            path.siblings.push_back(subtree_hash(depth + 1, middle, high));
            high = middle;
        }
    }
    if (high > low) path.leaf = entries_[low];
    return path;
}

}  // namespace vek::tlog
