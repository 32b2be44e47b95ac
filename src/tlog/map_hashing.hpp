// SHA-256 of the DID map's leaves and nodes: a tag byte, then two 32-byte halves.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

struct evp_md_ctx_st;

namespace vek::tlog {

using Hash = std::array<std::uint8_t, 32>;

// One digest context, set up once and reused for every hash: a map's root hashes thousands
// of 65- and 97-byte inputs, where setting up a context costs as much as the hashing. Not
// shared between threads; each map has its own. Throws std::runtime_error if OpenSSL fails.
class MapHasher {
public:
    MapHasher();

    // H(0x02 || key || value)
    Hash leaf(const Hash& key, const Hash& value);
    // H(0x03 || left || right)
    Hash node(const Hash& left, const Hash& right);

private:
    Hash tagged(std::uint8_t tag, const Hash& first, const Hash& second);

    struct FreeContext {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, FreeContext> context_;
};

}  // namespace vek::tlog
