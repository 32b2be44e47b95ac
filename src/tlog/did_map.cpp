#include "tlog/did_map.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace vek::tlog {
namespace {

// A batch that changes more than one key in this many forgets every kept hash at once.
constexpr std::size_t kForgetAllFrom = 16;

// The key's bits `at` to `at + 63` as a number, bit `at` the highest.
std::uint64_t word_at(const Hash& key, std::size_t at) {
    std::uint64_t word;
    std::memcpy(&word, key.data() + at, sizeof word);
    return std::endian::native == std::endian::little ? std::byteswap(word) : word;
}

// Keys are digests, so the first eight bytes nearly always decide; faster than a call to memcmp.
bool key_less(const Hash& a, const Hash& b) {
    for (std::size_t at = 0; at < a.size(); at += 8) {
        const std::uint64_t x = word_at(a, at), y = word_at(b, at);
        if (x != y) return x < y;
    }
    return false;
}

bool pair_less(const MapPair& a, const MapPair& b) { return key_less(a.key, b.key); }

unsigned bit(const Hash& key, unsigned depth) { return (key[depth >> 3] >> (7 - (depth & 7))) & 1u; }

// The key with every bit from `depth` on cleared: the smallest key under the subtree there.
Hash prefix_of(const Hash& key, unsigned depth) {
    Hash prefix{};
    const unsigned whole = depth >> 3;
    std::copy_n(key.begin(), whole, prefix.begin());
    if (const unsigned rest = depth & 7; rest != 0) {
        prefix[whole] = static_cast<std::uint8_t>(key[whole] & (0xff00u >> rest));
    }
    return prefix;
}

// How many leading bits two keys share; 256 for equal keys.
unsigned shared_bits(const Hash& a, const Hash& b) {
    for (std::size_t at = 0; at < a.size(); at += 8) {
        const std::uint64_t x = word_at(a, at), y = word_at(b, at);
        if (x != y) return static_cast<unsigned>(8 * at) + static_cast<unsigned>(std::countl_zero(x ^ y));
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

// Room for half as many again: a vector that grows copies itself whole, and memory reserved
// but not yet written costs nothing.
template <class T>
void make_room(std::vector<T>& items, std::size_t wanted) {
    if (wanted > items.capacity()) items.reserve(std::max(wanted + wanted / 2, 2 * items.capacity()));
}

}  // namespace

DidMap::DidMap(std::vector<MapPair> pairs) {
    sort_keeping_the_last(pairs);
    if (pairs.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("the DID map is full");
    make_room(slots_, pairs.size());
    make_room(order_, pairs.size());
    for (const MapPair& pair : pairs) {
        order_.push_back(static_cast<std::uint32_t>(slots_.size()));
        slots_.push_back(Slot{pair, {}, false});
    }
}

std::size_t DidMap::lower_bound(const Hash& key, std::size_t from) const {
    const auto at = std::ranges::lower_bound(order_.begin() + static_cast<std::ptrdiff_t>(from), order_.end(), key,
                                             key_less,
                                             [this](std::uint32_t slot) -> const Hash& { return slots_[slot].pair.key; });
    return static_cast<std::size_t>(at - order_.begin());
}

std::optional<Hash> DidMap::get(const Hash& key) const {
    const std::size_t at = lower_bound(key, 0);
    if (at < order_.size() && key_at(at) == key) return slots_[order_[at]].pair.value;
    return std::nullopt;
}

std::uint32_t DidMap::new_slot(const MapPair& pair) {
    if (!free_slots_.empty()) {
        const std::uint32_t slot = free_slots_.back();
        free_slots_.pop_back();
        slots_[slot] = Slot{pair, {}, false};
        return slot;
    }
    slots_.push_back(Slot{pair, {}, false});
    return static_cast<std::uint32_t>(slots_.size() - 1);
}

void DidMap::update(std::vector<MapPair> pairs) {
    sort_keeping_the_last(pairs);
    struct Added {
        std::uint32_t slot;
        std::size_t position;  // where its key goes among the keys there were
    };
    std::vector<Added> added;  // in key order, as the pairs are
    // Whatever may fail is done before the first change, so that a failure changes nothing.
    if (slots_.size() + pairs.size() >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("the DID map is full");
    }
    added.reserve(pairs.size());
    make_room(slots_, slots_.size() + pairs.size());
    make_room(order_, order_.size() + pairs.size());
    changed_.reserve(changed_.size() + pairs.size());
    std::size_t at = 0;
    for (const MapPair& pair : pairs) {
        at = lower_bound(pair.key, at);
        if (at < order_.size() && key_at(at) == pair.key) {
            slots_[order_[at]].pair.value = pair.value;
        } else {
            added.push_back({new_slot(pair), at});
        }
    }
    // From the back, each run of old entries moves once, by the number of new keys before it.
    std::size_t end = order_.size();
    order_.resize(end + added.size());
    for (std::size_t i = added.size(); i-- > 0;) {
        const auto from = order_.begin() + static_cast<std::ptrdiff_t>(added[i].position);
        std::move_backward(from, order_.begin() + static_cast<std::ptrdiff_t>(end),
                           order_.begin() + static_cast<std::ptrdiff_t>(end + i + 1));
        order_[added[i].position + i] = added[i].slot;
        end = added[i].position;
    }
    // The forks above a changed key are hashed again at the next root; a new key's neighbours
    // fork above it too, so that covers the boundaries it moved.
    for (const MapPair& pair : pairs) changed_.push_back(pair.key);
    note_changed();
}

void DidMap::discard(std::span<const Hash> keys) {
    std::vector<std::size_t> positions;
    for (const Hash& key : keys) {
        const std::size_t at = lower_bound(key, 0);
        if (at < order_.size() && key_at(at) == key) positions.push_back(at);
    }
    if (positions.empty()) return;
    std::ranges::sort(positions);
    const auto [last, end] = std::ranges::unique(positions);
    positions.erase(last, end);
    free_slots_.reserve(free_slots_.size() + positions.size());
    changed_.reserve(changed_.size() + positions.size());
    std::size_t kept = positions.front();
    auto next = positions.begin();
    for (std::size_t at = kept; at < order_.size(); ++at) {
        if (next != positions.end() && *next == at) {
            ++next;
            changed_.push_back(key_at(at));
            free_slots_.push_back(order_[at]);
            continue;
        }
        order_[kept++] = order_[at];
    }
    order_.resize(kept);
    // The fork between a removed key's neighbours lies above it too.
    note_changed();
}

// Sorts the keys just added to the changed ones, without allocating. Past some share of the
// map, forgetting every kept hash costs less than looking the changes up.
void DidMap::note_changed() {
    settled_ = false;
    if (changed_.size() * kForgetAllFrom > order_.size()) {
        for (Slot& slot : slots_) slot.known = false;
        changed_.clear();
        return;
    }
    std::ranges::sort(changed_, key_less);
    const auto [last, end] = std::ranges::unique(changed_);
    changed_.erase(last, end);
}

// Whether a key changed since the last root under the fork at `fork` bits above `key`: then
// the fork's kept hash is stale.
bool DidMap::touches_change(unsigned fork, const Hash& key) const {
    if (changed_.empty()) return false;
    const auto at = std::ranges::lower_bound(changed_, prefix_of(key, fork), key_less);
    return at != changed_.end() && shared_bits(*at, key) >= fork;
}

Hash DidMap::root() {
    const Hash hash = subtree_hash(0, 0, order_.size());
    changed_.clear();
    settled_ = true;
    return hash;
}

// The first position in [low, high) whose key has bit `depth` 1; the run shares the bits before it.
std::size_t DidMap::split(unsigned depth, std::size_t low, std::size_t high) const {
    const auto first = order_.begin() + static_cast<std::ptrdiff_t>(low);
    const auto last = order_.begin() + static_cast<std::ptrdiff_t>(high);
    const auto at = std::partition_point(first, last, [this, depth](std::uint32_t slot) {
        return bit(slots_[slot].pair.key, depth) == 0;
    });
    return low + static_cast<std::size_t>(at - first);
}

Hash DidMap::subtree_hash(unsigned depth, std::size_t low, std::size_t high) {
    if (high == low) return Hash{};
    const MapPair& first = slots_[order_[low]].pair;
    if (high - low == 1) return hasher_.leaf(first.key, first.value);
    // Above its fork the run's keys all go one way: each level pairs the hash with an empty one.
    const unsigned fork = shared_bits(first.key, key_at(high - 1));
    Hash hash = fork_hash(fork, low, high);
    for (unsigned level = fork; level-- > depth;) {
        hash = bit(first.key, level) != 0 ? hasher_.node(Hash{}, hash) : hasher_.node(hash, Hash{});
    }
    return hash;
}

Hash DidMap::fork_hash(unsigned fork, std::size_t low, std::size_t high) {
    const std::size_t middle = split(fork, low, high);
    Slot& owner = slots_[order_[middle - 1]];
    if (!owner.known || touches_change(fork, key_at(low))) {
        const Hash left = subtree_hash(fork + 1, low, middle);
        owner.fork_hash = hasher_.node(left, subtree_hash(fork + 1, middle, high));
        owner.known = true;
    }
    return owner.fork_hash;
}

MapPath DidMap::prove(const Hash& key) {
    // Settled first, so that no sibling is hashed afresh for every proof until the next root.
    if (!settled_) root();
    MapPath path;
    std::size_t low = 0, high = order_.size();
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
    if (high > low) path.leaf = slots_[order_[low]].pair;
    return path;
}

}  // namespace vek::tlog
