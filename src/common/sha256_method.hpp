// OpenSSL's SHA-256, fetched once for the whole process.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

struct evp_md_st;

namespace vek {

// OpenSSL's SHA-256 uses the processor's SHA instructions where it has them: several times a
// portable one's speed. EVP_sha256() would look the method up again, under a lock shared by
// every thread, on each digest. Throws std::runtime_error if OpenSSL has no SHA-256.
const evp_md_st* sha256_method();

// SHA-256 of `text` with that method. Throws std::runtime_error if OpenSSL fails, which it does
// only without memory.
std::array<std::uint8_t, 32> sha256(std::string_view text);

}  // namespace vek
