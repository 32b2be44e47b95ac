#include "engine/verification.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <memory>

#include "engine/hex.hpp"

namespace vek::engine {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// One digest context per thread, reset before every use: a context initialised once
// keeps its old key if it is not reset, and a second EVP_DigestVerify without a fresh
// initialisation fails on OpenSSL 3.5.
EVP_MD_CTX* thread_context() {
    thread_local MdCtxPtr context{EVP_MD_CTX_new()};
    return context.get();
}

// Two signatures the rule rejects: one valid only under a cofactored check, and a valid
// signature whose S was replaced by S + L. If this libsodium accepts either, it is not
// the strict subset of the rule that makes its "yes" final.
bool fast_path_is_subset_of_rule() {
    if (sodium_init() < 0) return false;
    constexpr std::string_view kCofactoredKey = "cdb267ce40c5cd45306fa5d2f29731459387dbf9eb933b7bd5aed9a765b88d4d";
    constexpr std::string_view kCofactoredMessage = "e47d62c63f830dc7a6851a0b1f33ae4bb2f507fb6cffec4011eaccd55b53f56c";
    constexpr std::string_view kCofactoredSignature =
        "160a1cb0dc9c0258cd0a7d23e94d8fa878bcb1925f2c64246b2dee1796bed512"
        "5ec6bc982a269b723e0668e540911a9a6a58921d6925e434ab10aa7940551a09";
    // RFC 8032 TEST 1 (empty message) with S + L in place of S.
    constexpr std::string_view kRfcKey = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
    constexpr std::string_view kMalleatedSignature =
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
        "4c8c7872aa064e049dbb3013fbf29380d25bf5f0595bbe24655141438e7a101b";

    PublicKey key;
    SignatureBytes signature;
    std::uint8_t message[32];
    decode_hex_exact(kCofactoredKey, key);
    decode_hex_exact(kCofactoredSignature, signature);
    decode_hex_exact(kCofactoredMessage, message);
    if (verify_fast(message, signature, key)) return false;
    decode_hex_exact(kRfcKey, key);
    decode_hex_exact(kMalleatedSignature, signature);
    return !verify_fast({}, signature, key);
}

}  // namespace

bool verify_exact(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key) {
    PkeyPtr pkey{EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size())};
    bool accepted = false;
    if (pkey) {
        EVP_MD_CTX* context = thread_context();
        EVP_MD_CTX_reset(context);
        accepted = EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey.get()) == 1 &&
                   EVP_DigestVerify(context, signature.data(), signature.size(), message.data(), message.size()) == 1;
    }
    // OpenSSL queues an error for every rejected signature or key; drop them so the
    // thread's queue does not grow.
    ERR_clear_error();
    return accepted;
}

bool verify_fast(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key) {
    return crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) == 0;
}

bool verify(std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key) {
    static const bool fast_path_usable = fast_path_is_subset_of_rule();
    if (fast_path_usable && verify_fast(message, signature, key)) return true;
    return verify_exact(message, signature, key);
}

bool verify_hex(std::string_view message, std::string_view signature_hex, const PublicKey& key) {
    SignatureBytes signature;
    return decode_hex_exact(signature_hex, signature) && verify(as_bytes(message), signature, key);
}

bool verify_hex_with_key(std::string_view message, std::string_view signature_hex, std::string_view public_key_hex) {
    PublicKey key;
    return decode_hex_exact(public_key_hex, key) && verify_hex(message, signature_hex, key);
}

}  // namespace vek::engine
