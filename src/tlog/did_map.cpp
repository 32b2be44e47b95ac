#include "tlog/did_map.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vek::tlog {
namespace {

// A subtree of this many keys or more keeps its hash: about 2 / kKeepFromKeys kept hashes per
// key, and a root or proof rehashes fewer than 2 * kKeepFromKeys keys below the kept ones.
constexpr std::size_t kKeepFromKeys = 8;
constexpr unsigned kKeyBits = 256;

bool key_less(const Hash& a, const Hash& b) { return std::memcmp(a.data(), b.data(), a.size()) < 0; }

bool pair_less(const MapPair& a, const MapPair& b) { return key_less(a.key, b.key); }

unsigned bit(const Hash& key, unsigned depth) { return (key[depth >> 3] >> (7 - (depth & 7))) & 1u; }

// The key with every bit from `depth` on cleared: the name of the subtree at `depth` above it.
Hash prefix_of(const Hash& key, unsigned depth) {
    Hash prefix{};
    const unsigned whole = depth >> 3;
    std::copy_n(key.begin(), whole, prefix.begin());
    if (const unsigned rest = depth & 7; rest != 0) {
        prefix[whole] = static_cast<std::uint8_t>(key[whole] & (0xff00u >> rest));
    }
    return prefix;
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

std::size_t DidMap::SubtreeHasher::operator()(const Subtree& subtree) const {
    // The keys are digests, so their bits are evenly spread already: mixing the words is enough.
    std::uint64_t mixed = subtree.depth * 0x9e3779b97f4a7c15ull;
    for (std::size_t at = 0; at < subtree.prefix.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, subtree.prefix.data() + at, sizeof word);
        mixed = (mixed ^ word) * 0xff51afd7ed558ccdull;
    }
    return static_cast<std::size_t>(mixed ^ (mixed >> 32));
}

DidMap::DidMap(std::vector<MapPair> pairs) : entries_(std::move(pairs)) { sort_keeping_the_last(entries_); }

std::vector<MapPair>::iterator DidMap::find(const Hash& key) {
    auto at = std::ranges::lower_bound(entries_, key, key_less, &MapPair::key);
    return at != entries_.end() && at->key == key ? at : entries_.end();
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
        forget_path(pair.key);
        if (auto at = find(pair.key); at != entries_.end()) {
            at->value = pair.value;
        } else {
            added.push_back(pair);
        }
    }
    // The new keys, sorted, merged in from the back: each old entry moves at most once.
    std::size_t old_end = entries_.size(), new_end = added.size();
    entries_.resize(old_end + new_end);
    for (std::size_t out = entries_.size(); new_end > 0;) {
        if (old_end > 0 && key_less(added[new_end - 1].key, entries_[old_end - 1].key)) {
            entries_[--out] = entries_[--old_end];
        } else {
            entries_[--out] = added[--new_end];
        }
    }
}

void DidMap::discard(std::span<const Hash> keys) {
    std::vector<Hash> gone(keys.begin(), keys.end());
    std::ranges::sort(gone, key_less);
    if (gone.empty()) return;
    auto next = gone.begin();
    const auto first = std::ranges::lower_bound(entries_, gone.front(), key_less, &MapPair::key);
    const auto removed = std::remove_if(first, entries_.end(), [&](const MapPair& entry) {
        while (next != gone.end() && key_less(*next, entry.key)) ++next;
        if (next == gone.end() || *next != entry.key) return false;
        forget_path(entry.key);
        return true;
    });
    entries_.erase(removed, entries_.end());
}

void DidMap::forget_path(const Hash& key) {
    settled_ = false;
    for (int depth = 0; depth <= deepest_kept_; ++depth) {
        kept_.erase(Subtree{static_cast<unsigned>(depth), prefix_of(key, static_cast<unsigned>(depth))});
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
    return low + static_cast<std::size_t>(
                     std::partition_point(first, last, [depth](const MapPair& entry) { return bit(entry.key, depth) == 0; }) -
                     first);
}

Hash DidMap::subtree_hash(unsigned depth, std::size_t low, std::size_t high) {
    const std::size_t count = high - low;
    if (count == 0) return Hash{};
    if (count == 1) return hasher_.leaf(entries_[low].key, entries_[low].value);
    const bool keeps = count >= kKeepFromKeys;
    Subtree subtree;
    if (keeps) {
        subtree = Subtree{depth, prefix_of(entries_[low].key, depth)};
        if (auto found = kept_.find(subtree); found != kept_.end()) return found->second;
    }
    // Two distinct keys differ before bit 256, so a run of two or more splits above it.
    const std::size_t middle = split(depth, low, high);
    const Hash left = subtree_hash(depth + 1, low, middle);
    const Hash hash = hasher_.node(left, subtree_hash(depth + 1, middle, high));
    if (keeps) {
        kept_.emplace(subtree, hash);
        deepest_kept_ = std::max(deepest_kept_, static_cast<int>(depth));
    }
    return hash;
}

MapPath DidMap::prove(const Hash& key) {
    MapPath path;
    std::size_t low = 0, high = entries_.size();
    for (unsigned depth = 0; high - low > 1 && depth < kKeyBits; ++depth) {
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
