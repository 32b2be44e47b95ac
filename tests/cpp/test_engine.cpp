// The Python-free engine: RFC 8032 signatures, the edge-case vectors on both verification
// paths, and the property that makes each input's branch give the exact answer.
#include <doctest/doctest.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include <cstring>
#include <fstream>
#include <map>
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

// Boundary inputs of the two branches of verify: the small-order y fields with and without
// the sign bit, as key and as R; every y field from p to 2^255 - 1 as key; S = L - 1, L,
// L + 1, S + L and 0; keys of mixed order (a torsion point added to a genuine key), signed
// over those keys so that about one in eight signatures holds; genuine signatures and
// single-bit flips of them. Each answer of verify must be verify_exact's.
TEST_CASE("property: verify equals verify_exact on both branches, with both answers") {
    const std::string zeros(62, '0'), ones(62, 'f');
    const auto with_sign_bit = [](PublicKey point) {
        point[31] |= 0x80;
        return point;
    };
    std::vector<PublicKey> torsion;  // the eight points of small order
    for (const char* hex : {"01", "ec", "00", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
                            "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a"}) {
        const std::string text = std::strlen(hex) == 64 ? hex : hex + (hex[0] == 'e' ? ones.substr(0, 60) + "7f" : zeros);
        torsion.push_back(bytes_of<32>(text));
        if (text != "01" + zeros && text.substr(0, 2) != "ec") torsion.push_back(with_sign_bit(torsion.back()));
    }
    REQUIRE(torsion.size() == 8);
    std::vector<PublicKey> small_order;  // the seven refused y fields, each with and without the sign bit
    for (const char* hex : {"00", "01", "ec", "ed", "ee"}) {
        small_order.push_back(bytes_of<32>(std::string(hex) + (hex[0] == 'e' ? ones.substr(0, 60) + "7f" : zeros)));
    }
    small_order.push_back(torsion[4]), small_order.push_back(torsion[6]);
    for (std::size_t i = 0, n = small_order.size(); i < n; ++i) small_order.push_back(with_sign_bit(small_order[i]));
    std::vector<PublicKey> non_canonical;  // y = p ... 2^255 - 1, with and without the sign bit
    for (unsigned low = 0xed; low <= 0xff; ++low) {
        auto y = bytes_of<32>("00" + ones.substr(0, 60) + "7f");
        y[0] = static_cast<std::uint8_t>(low);
        non_canonical.push_back(y), non_canonical.push_back(with_sign_bit(y));
    }
    REQUIRE((small_order.size() == 14 && non_canonical.size() == 38));

    std::map<std::string, int> tally;
    const auto trial = [&](std::span<const std::uint8_t> message, const SignatureBytes& signature, const PublicKey& key) {
        const bool exact = verify_exact(message, signature, key);
        INFO("message ", to_hex(message), " signature ", to_hex(signature), " key ", to_hex(key));
        CHECK(verify(message, signature, key) == exact);
        CHECK((!verify_fast(message, signature, key) || exact));  // libsodium never accepts more than the rule
        const char* branch = !s_below_group_order(signature)     ? "S >= L, refused at once"
                             : needs_exact_rule(signature, key) ? "OpenSSL"
                                                                : "libsodium";
        ++tally[std::string(branch) + (exact ? ": yes" : ": no")];
    };
    const auto with_r = [](SignatureBytes signature, const PublicKey& r) {
        std::copy(r.begin(), r.end(), signature.begin());
        return signature;
    };
    const auto with_s = [](SignatureBytes signature, const char* s_hex) {
        REQUIRE(decode_hex_exact(s_hex, std::span(signature).last<32>()));
        return signature;
    };
    const char* s_values[] = {
        "ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010",  // L - 1
        "edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010",  // L
        "eed3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010",  // L + 1
        "0000000000000000000000000000000000000000000000000000000000000000",
    };

    std::mt19937 rng(20261208);
    const auto below = [&rng](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    for (int round = 0; round < 40; ++round) {
        std::array<std::uint8_t, 32> seed;
        for (auto& byte : seed) byte = static_cast<std::uint8_t>(below(256));
        const auto pair = *KeyPair::from_secret_hex(to_hex(seed));
        std::vector<std::uint8_t> message(below(65));
        for (auto& byte : message) byte = static_cast<std::uint8_t>(below(256));
        const auto signature = pair.sign(message);
        const auto& key = pair.public_key();

        trial(message, signature, key);
        for (int flip = 0; flip < 4; ++flip) {
            auto flipped = signature;
            flipped[below(64)] ^= static_cast<std::uint8_t>(1u << below(8));
            trial(message, flipped, key);
        }
        trial(message, with_s_plus_l(signature), key);
        for (const char* s : s_values) trial(message, with_s(signature, s), key);
        const auto neutral_r_zero_s = with_s(with_r(signature, small_order[1]), s_values[3]);
        for (const auto& point : small_order) {
            trial(message, with_r(signature, point), key);  // small-order R under a genuine key
            trial(message, signature, point);                // small-order key
            trial(message, neutral_r_zero_s, point);
            trial(message, with_s(with_r(signature, point), s_values[3]), small_order[below(small_order.size())]);
        }
        for (const auto& point : non_canonical) {
            trial(message, signature, point);
            trial(message, neutral_r_zero_s, point);
            trial(message, with_r(signature, point), key);
        }
        // Mixed order: A + T, signed by libsodium over that key's bytes. The rule accepts
        // exactly when the challenge scalar times T is the neutral point.
        for (std::size_t t = 1; t < torsion.size(); ++t) {
            PublicKey mixed;
            REQUIRE(crypto_core_ed25519_add(mixed.data(), key.data(), torsion[t].data()) == 0);
            std::array<std::uint8_t, 64> secret_key;
            PublicKey ignored;
            crypto_sign_seed_keypair(ignored.data(), secret_key.data(), seed.data());
            std::copy(mixed.begin(), mixed.end(), secret_key.begin() + 32);
            SignatureBytes mixed_signature;
            crypto_sign_detached(mixed_signature.data(), nullptr, message.data(), message.size(), secret_key.data());
            sodium_memzero(secret_key.data(), secret_key.size());
            trial(message, mixed_signature, mixed);
            trial(message, signature, mixed);
        }
    }
    std::string summary;
    for (const auto& [case_name, count] : tally) summary += "\n  " + case_name + ": " + std::to_string(count);
    MESSAGE("cases by branch and answer:", summary);
    for (const char* expected : {"libsodium: yes", "libsodium: no", "OpenSSL: yes", "OpenSSL: no", "S >= L, refused at once: no"}) {
        CHECK_MESSAGE(tally[expected] > 0, std::string(expected));
    }
}
