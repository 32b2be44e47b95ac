// The Python-free engine: RFC 8032 signatures, the edge-case vectors on both verification
// paths, and the property that makes the fast path safe to put in front of the exact one.
#include <doctest/doctest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/hex.hpp"
#include "engine/key_pair.hpp"
#include "engine/verification.hpp"

using namespace vek::engine;

namespace {

nlohmann::json load_vectors(const std::string& name) {
    std::ifstream in(std::string(VECTORS_DIR) + "/" + name);
    return nlohmann::json::parse(in);  // throws, failing the test, if the file cannot be read
}

// Decodes hex that a test trusts, into N bytes (N = 0: as many as the text holds).
template <std::size_t N = 0>
auto bytes_of(const nlohmann::json& hex) {
    std::conditional_t<N == 0, std::vector<std::uint8_t>, std::array<std::uint8_t, N>> out{};
    if constexpr (N == 0) out.resize(hex.get<std::string>().size() / 2);
    REQUIRE(decode_hex_exact(hex.get<std::string>(), out));
    return out;
}

// S + L, with L the group order: the same scalar modulo L, which the rule must refuse.
SignatureBytes with_s_plus_l(SignatureBytes signature) {
    const auto order = bytes_of<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    for (unsigned i = 0, carry = 0; i < 32; ++i, carry >>= 8) {
        carry += signature[32 + i] + order[i];
        signature[32 + i] = static_cast<std::uint8_t>(carry);
    }
    return signature;
}

}  // namespace

TEST_CASE("RFC 8032 vectors: every signature byte for byte, and each verifies") {
    for (const auto& vector : load_vectors("rfc8032_ed25519.json")) {
        CAPTURE(vector["name"]);
        const auto pair = KeyPair::from_secret_hex(vector["secret_key"].get<std::string>());
        REQUIRE(pair.has_value());
        const auto signature = pair->sign(bytes_of(vector["message"]));
        CHECK(to_hex(signature) == vector["signature"]);
        CHECK(verify(bytes_of(vector["message"]), signature, pair->public_key()));
    }
}

TEST_CASE("edge-case vectors give their answer on both verification paths") {
    std::string answers;
    for (const auto& vector : load_vectors("ed25519_edge_cases.json")) {
        CAPTURE(vector["case"]);
        const auto message = bytes_of(vector["message"]);
        const auto signature = bytes_of<64>(vector["signature"]);
        const auto key = bytes_of<32>(vector["public_key"]);
        CHECK(verify(message, signature, key) == vector["verifies"]);
        CHECK(verify_exact(message, signature, key) == vector["verifies"]);
        answers += vector["verifies"] ? '1' : '0';
    }
    CHECK(answers == "111100000001");
}

TEST_CASE("property: verify_fast accepting implies verify_exact accepting; verify equals verify_exact") {
    // Small-order and mixed-order points from the vectors, the neutral point, and keys with
    // y = p and y = p + 1 (sign bit set).
    const std::string zeros(62, '0'), ones(62, 'f');
    std::vector<PublicKey> odd_keys{bytes_of<32>("01" + zeros), bytes_of<32>("ed" + ones), bytes_of<32>("ee" + ones)};
    std::vector<SignatureBytes> odd_signatures{bytes_of<64>("01" + zeros + "00" + zeros)};
    for (const auto& vector : load_vectors("ed25519_edge_cases.json")) {
        odd_keys.push_back(bytes_of<32>(vector["public_key"]));
        odd_signatures.push_back(bytes_of<64>(vector["signature"]));
    }
    std::mt19937 rng(20240611);
    const auto below = [&rng](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    for (int round = 0; round < 300; ++round) {
        const auto pair = KeyPair::generate();
        std::vector<std::uint8_t> message(below(65));
        for (auto& byte : message) byte = static_cast<std::uint8_t>(below(256));
        const auto signature = pair.sign(message);
        const auto& key = pair.public_key();
        const auto& odd_key = odd_keys[below(odd_keys.size())];
        auto flipped = signature, odd_r = signature;
        SignatureBytes zero_s{};
        flipped[below(64)] ^= static_cast<std::uint8_t>(1u << below(8));
        std::copy_n(odd_signatures[below(odd_signatures.size())].begin(), 32, odd_r.begin());
        std::copy_n(odd_r.begin(), 32, zero_s.begin());
        const std::pair<SignatureBytes, PublicKey> trials[] = {
            {signature, key}, {flipped, key}, {with_s_plus_l(signature), key}, {odd_r, key}, {signature, odd_key},
            {odd_r, odd_key}, {zero_s, odd_key}, {with_s_plus_l(zero_s), odd_key},
        };
        for (const auto& [trial_signature, trial_key] : trials) {
            const bool exact = verify_exact(message, trial_signature, trial_key);
            INFO("message ", to_hex(message), " signature ", to_hex(trial_signature), " key ", to_hex(trial_key));
            CHECK((!verify_fast(message, trial_signature, trial_key) || exact));
            CHECK(verify(message, trial_signature, trial_key) == exact);
        }
        CHECK((verify_exact(message, signature, key) && !verify(message, with_s_plus_l(signature), key)));
    }
}
