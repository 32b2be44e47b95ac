#include "common/sha256_method.hpp"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace vek {

const EVP_MD* sha256_method() {
    static const std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> method(EVP_MD_fetch(nullptr, "SHA256", nullptr),
                                                                        &EVP_MD_free);
    if (method == nullptr) throw std::runtime_error("SHA-256 is not available");
    return method.get();
}

std::array<std::uint8_t, 32> sha256(std::string_view text) {
    std::array<std::uint8_t, 32> digest;
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &length, sha256_method(), nullptr) != 1 ||
        length != digest.size()) {
        throw std::runtime_error("SHA-256 failed");
    }
    return digest;
}

}  // namespace vek
