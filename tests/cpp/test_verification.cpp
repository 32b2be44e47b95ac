#include <random>

#include "test_support.hpp"

using namespace vek::engine;
using namespace test_support;

namespace {

// The canonical encoding of the neutral point (x = 0, y = 1).
const std::string kNeutral = "01" + std::string(62, '0');

SignatureBytes with_s_plus_l(SignatureBytes signature) {
    const auto order = bytes_of<32>("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");  // L
    unsigned carry = 0;
    for (std::size_t i = 0; i < 32; ++i, carry >>= 8) {
        carry += signature[32 + i] + order[i];
        signature[32 + i] = static_cast<std::uint8_t>(carry);
    }
    return signature;
}

// A key whose y field is p + offset (p = 2^255 - 19, offset 0 to 18), with the given sign bit.
PublicKey y_field_above_p(unsigned offset, bool sign) {
    PublicKey key;
    key.fill(0xff);
    key[0] = static_cast<std::uint8_t>(0xed + offset);
    key[31] = sign ? 0xff : 0x7f;
    return key;
}

SignatureBytes flip_bit(SignatureBytes signature, std::size_t bit) {
    signature[bit / 8] = static_cast<std::uint8_t>(signature[bit / 8] ^ (1u << (bit % 8)));
    return signature;
}

}  // namespace

TEST_CASE("edge-case vectors give their expected answer through every entry point") {
    for (const auto& vector : load_vectors("ed25519_edge_cases.json")) {
        CAPTURE(vector["case"]);
        const bool expected = vector["verifies"].get<bool>();
        const auto key_hex = vector["public_key"].get<std::string>(), signature_hex = vector["signature"].get<std::string>();
        const auto message = bytes_of(vector["message"].get<std::string>());
        const auto key = bytes_of<32>(key_hex);
        const auto signature = bytes_of<64>(signature_hex);
        CHECK(verify(message, signature, key) == expected);
        CHECK(verify_exact(message, signature, key) == expected);
        CHECK(verify_hex(text_of(message), upper(signature_hex), key) == expected);
        CHECK(verify_hex_with_key(text_of(message), signature_hex, upper(key_hex)) == expected);
    }
}

TEST_CASE("the neutral point as key and as R with S = 0 verifies any message, in every key encoding") {
    const std::string p_plus_one = to_hex(y_field_above_p(1, false)), signature = kNeutral + std::string(64, '0');
    CHECK(p_plus_one == "ee" + std::string(60, 'f') + "7f");
    for (const auto& key : {kNeutral, "01" + std::string(60, '0') + "80", p_plus_one}) {
        for (const std::string& message : std::vector<std::string>{"", "abc", {'a', '\0', 'b'}}) {
            CAPTURE(key);
            CHECK(verify_hex_with_key(message, signature, key));
            CHECK(verify_exact(as_bytes(message), bytes_of<64>(signature), bytes_of<32>(key)));
            // S = 1 leaves R' = B, which is not the neutral point.
            CHECK_FALSE(verify_hex_with_key(message, kNeutral + "01" + std::string(62, '0'), key));
        }
    }
}

TEST_CASE("malleated, altered and malformed signatures and keys are rejected") {
    const auto pair = KeyPair::from_secret_hex(kTest1Secret);
    const std::string message = "hello";
    const auto signature = pair->sign(as_bytes(message));
    const auto& key = pair->public_key();
    REQUIRE(verify(as_bytes(message), signature, key));
    CHECK_FALSE(verify(as_bytes(std::string("hellp")), signature, key));
    const auto malleated = with_s_plus_l(signature);
    CHECK(malleated[63] < 0x80);
    CHECK_FALSE(verify(as_bytes(message), malleated, key));
    for (std::size_t bit = 0; bit < 512; ++bit) {
        CAPTURE(bit);
        CHECK_FALSE(verify(as_bytes(message), flip_bit(signature, bit), key));
    }

    const std::string hex = to_hex(signature), key_hex = pair->public_key_hex();
    CHECK((verify_hex(message, upper(hex), key) && verify_hex_with_key(message, hex, upper(key_hex))));
    for (const auto& bad : {hex.substr(0, 127), hex + "0", hex + "00", std::string(), "g" + hex.substr(1),
                            " " + hex.substr(1), "0x" + hex.substr(2)}) {
        CAPTURE(bad);
        CHECK_FALSE((verify_hex(message, bad, key) || verify_hex_with_key(message, bad, key_hex)));
    }
    const std::string no_point = "02" + std::string(62, '0');  // y = 2 has no x on the curve
    for (const auto& bad : {key_hex.substr(0, 62), key_hex + "00", key_hex.substr(0, 63), "zz" + key_hex.substr(2),
                            no_point, KeyPair::generate().public_key_hex()}) {
        CAPTURE(bad);
        CHECK_FALSE(verify_hex_with_key(message, hex, bad));
    }
}

TEST_CASE("property: verify_fast accepting implies verify_exact accepting; verify equals verify_exact") {
    std::vector<PublicKey> odd_keys{bytes_of<32>(kNeutral)};
    std::vector<SignatureBytes> odd_signatures{bytes_of<64>(kNeutral + std::string(64, '0'))};
    for (const auto& vector : load_vectors("ed25519_edge_cases.json")) {
        odd_keys.push_back(bytes_of<32>(vector["public_key"].get<std::string>()));
        odd_signatures.push_back(bytes_of<64>(vector["signature"].get<std::string>()));
    }
    std::mt19937 rng(20240611);
    const auto below = [&rng](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    const auto odd_key = [&] { return odd_keys[below(odd_keys.size())]; };
    for (int round = 0; round < 300; ++round) {
        const auto pair = KeyPair::generate();
        std::vector<std::uint8_t> message(below(65));
        for (auto& byte : message) byte = static_cast<std::uint8_t>(below(256));
        const auto signature = pair.sign(message);
        // odd_r: small-order or mixed-order R from the vectors; zero_s: the same R with S = 0.
        auto odd_r = signature;
        SignatureBytes zero_s{};
        std::copy_n(odd_signatures[below(odd_signatures.size())].begin(), 32, odd_r.begin());
        std::copy_n(odd_r.begin(), 32, zero_s.begin());
        const std::pair<SignatureBytes, PublicKey> trials[] = {
            {signature, pair.public_key()}, {flip_bit(signature, below(512)), pair.public_key()},
            {with_s_plus_l(signature), pair.public_key()}, {odd_r, pair.public_key()}, {signature, odd_key()},
            {odd_r, odd_key()}, {zero_s, odd_key()}, {with_s_plus_l(zero_s), odd_key()},
            {zero_s, y_field_above_p(static_cast<unsigned>(below(19)), below(2) == 1)},
        };
        for (const auto& [trial_signature, trial_key] : trials) {
            const bool exact = verify_exact(message, trial_signature, trial_key);
            INFO("message ", to_hex(message), " signature ", to_hex(trial_signature), " key ", to_hex(trial_key));
            CHECK((!verify_fast(message, trial_signature, trial_key) || exact));
            CHECK(verify(message, trial_signature, trial_key) == exact);
        }
        CHECK(verify_exact(message, signature, pair.public_key()));
    }
}
