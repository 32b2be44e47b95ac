#include "tlog/map_hashing.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "common/sha256_method.hpp"

namespace vek::tlog {

void MapHasher::FreeContext::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

MapHasher::MapHasher() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr) throw std::bad_alloc();
    sha256_method();
}

Hash MapHasher::leaf(const Hash& key, const Hash& value) { return tagged(0x02, key, value); }

Hash MapHasher::node(const Hash& left, const Hash& right) { return tagged(0x03, left, right); }

Hash MapHasher::tagged(std::uint8_t tag, const Hash& first, const Hash& second) {
    // One update of the whole input: each update call costs about as much as hashing a block.
    std::array<std::uint8_t, 1 + 2 * sizeof(Hash)> input;
    input[0] = tag;
    std::copy(first.begin(), first.end(), input.begin() + 1);
    std::copy(second.begin(), second.end(), input.begin() + 1 + sizeof(Hash));
    Hash out;
    unsigned int length = 0;
    EVP_MD_CTX* context = context_.get();
    if (EVP_DigestInit_ex2(context, sha256_method(), nullptr) != 1 ||
        EVP_DigestUpdate(context, input.data(), input.size()) != 1 ||
        EVP_DigestFinal_ex(context, out.data(), &length) != 1 || length != out.size()) {
        throw std::runtime_error("SHA-256 failed");
    }
    return out;
}

}  // namespace vek::tlog
