#include <sodium.h>

#include <cstddef>
#include <new>

#include "did/did_syntax.hpp"
#include "engine/key_did.hpp"
#include "test_support.hpp"

using namespace vek;
using namespace vek::engine;
using namespace test_support;

TEST_CASE("hex: lower-case out, any case in, whole bytes only") {
    const std::array<std::uint8_t, 4> bytes{0x00, 0x0f, 0xa0, 0xff};
    std::array<std::uint8_t, 4> out{};
    CHECK(to_hex(bytes) == "000fa0ff");
    for (const std::string_view text : {"000fa0ff", "000FA0FF", "000fA0Ff"}) {
        CHECK((is_hex(text) && decode_hex_exact(text, out) && out == bytes));
    }
    for (const std::string_view text : {"000fa0f", "000fa0fg", "0x0fa0ff", " 00fa0ff", "+00fa0ff", "000fa0\xc3\xa9"}) {
        CAPTURE(text);
        CHECK_FALSE((is_hex(text) || decode_hex_exact(text, out)));
    }
    CHECK_FALSE(decode_hex_exact("000fa0ff00", out));  // valid hex of another length
}

TEST_CASE("KeyPair::from_secret_hex: decoding is checked before the length, any case accepted") {
    const std::string lower(kTest1Secret);
    const std::pair<std::string, DomainError> cases[] = {
        {lower.substr(0, 63), errors::invalid_hex},          {lower.substr(0, 63) + "g", errors::invalid_hex},
        {"0x" + lower.substr(2), errors::invalid_hex},       {lower.substr(0, 63) + " ", errors::invalid_hex},
        {lower.substr(2) + "\xc3\xa9", errors::invalid_hex}, {lower + "0", errors::invalid_hex},
        {"", errors::secret_key_length},                     {lower.substr(0, 62), errors::secret_key_length},
        {lower + "00", errors::secret_key_length},
    };
    for (const auto& [text, error] : cases) {
        CAPTURE(text);
        CHECK(KeyPair::from_secret_hex(text).error() == error);
    }
    std::string mixed = lower;
    for (std::size_t i = 0; i < mixed.size(); i += 2) mixed[i] = static_cast<char>(std::toupper(mixed[i]));
    const auto expected = KeyPair::from_secret_hex(lower)->public_key();
    for (const auto& text : {upper(lower), mixed}) CHECK(KeyPair::from_secret_hex(text)->public_key() == expected);
}

TEST_CASE("RFC 8032 vectors: public key, signature, multibase and key-derived DID") {
    for (const auto& vector : load_vectors("rfc8032_ed25519.json")) {
        CAPTURE(vector["name"]);
        const auto pair = KeyPair::from_secret_hex(vector["secret_key"].get<std::string>());
        REQUIRE(pair.has_value());
        CHECK(pair->public_key_hex() == vector["public_key"]);
        CHECK(pair->public_key_multibase() == "f" + pair->public_key_hex());
        const auto message = bytes_of(vector["message"].get<std::string>());
        const auto signature = pair->sign(message);
        CHECK(to_hex(signature) == vector["signature"]);
        CHECK(pair->sign_hex(text_of(message)) == to_hex(signature));

        std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
        crypto_hash_sha256(digest.data(), pair->public_key().data(), pair->public_key().size());
        const auto did = did_from_public_key(pair->public_key());
        CHECK(did == "did:vek:" + to_hex(digest).substr(0, 16));
        CHECK(did::is_valid_did(did));
    }
}

TEST_CASE("the secret key bytes are zero after a move and after destruction") {
    const auto seed = bytes_of(kTest1Secret);
    const auto find_seed = [&seed](const std::byte* object) {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(object);
        return static_cast<std::size_t>(std::search(begin, begin + sizeof(KeyPair), seed.begin(), seed.end()) - begin);
    };
    const auto all_zero = [](const std::byte* begin) {
        return std::all_of(begin, begin + 64, [](std::byte b) { return b == std::byte{0}; });
    };
    alignas(KeyPair) std::byte source[sizeof(KeyPair)];
    alignas(KeyPair) std::byte target[sizeof(KeyPair)];
    auto* first = new (source) KeyPair(*KeyPair::from_secret_hex(kTest1Secret));
    const std::size_t offset = find_seed(source);
    REQUIRE(offset + 64 <= sizeof(KeyPair));
    // The 64 secret bytes are the seed followed by the public key.
    const auto& key = first->public_key();
    CHECK(std::equal(key.begin(), key.end(), reinterpret_cast<std::uint8_t*>(source + offset + 32)));

    auto* second = new (target) KeyPair(std::move(*first));
    CHECK(all_zero(source + offset));
    REQUIRE(find_seed(target) == offset);
    second->~KeyPair();
    CHECK(all_zero(target + offset));
    first->~KeyPair();
}
