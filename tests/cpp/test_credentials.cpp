// The credential core without Python: base58btc, UTF-16 order of names, ECMAScript number
// forms at their layout boundaries, and a proof that verifies until one byte changes.
#include <doctest/doctest.h>

#include <optional>
#include <string>
#include <vector>

#include "view/multibase.hpp"
#include "credentials/canonical_json.hpp"
#include "credentials/date_time.hpp"
#include "credentials/did_key.hpp"
#include "credentials/eddsa_jcs.hpp"
#include "credentials/number_form.hpp"
#include "engine/verification.hpp"

using namespace vek;
using namespace vek::credentials;

TEST_CASE("base58btc keeps leading zero bytes as ones and refuses characters outside its alphabet") {
    for (const std::vector<std::uint8_t>& bytes : std::vector<std::vector<std::uint8_t>>{
             {}, {0}, {0, 0, 1}, {0xff, 0xff}, {0, 0x61, 0x62, 0x63}}) {
        const std::string text = view::base58btc(bytes);
        CHECK(view::base58btc_decode(text) == bytes);
    }
    CHECK(view::base58btc(std::vector<std::uint8_t>{0x61, 0x62, 0x63}) == "ZiCa");
    for (const char* bad : {"0", "O", "I", "l", "z+"}) CHECK_FALSE(view::base58btc_decode(bad).has_value());
}

TEST_CASE("names sort by UTF-16 code units, which differs from UTF-8 above U+FFFF") {
    CHECK(utf16_less("a", "b"));
    CHECK(utf16_less("a", "ab"));
    CHECK_FALSE(utf16_less("ab", "ab"));
    CHECK(utf16_less("\xf0\x9f\x98\x80", "\xef\xac\xb3"));  // U+1F600 (D83D) before U+FB33
    CHECK(utf16_less("\xe2\x82\xac", "\xef\xac\xb3"));      // U+20AC before U+FB33
    CHECK(utf16_less("x\xf0\x9f\x98\x80", "x\xf0\x9f\x98\x81"));
}

TEST_CASE("numbers change layout where ECMAScript does") {
    const std::vector<std::pair<std::string, std::string>> forms = {
        {"1e20", "100000000000000000000"}, {"1e21", "1e+21"},   {"123e18", "123000000000000000000"},
        {"0.000001", "0.000001"},          {"1e-7", "1e-7"},    {"-1.5e-7", "-1.5e-7"},
        {"12.5", "12.5"},                  {"-0.0", "0"},       {"1e-999", "0"},
        {"4.35", "4.35"},                  {"1.50", "1.5"},     {"0.0000001", "1e-7"},
        {"-0.000005", "-0.000005"},        {"1234567890.123456", "1234567890.123456"},
        {"5.0", "5"},                      {"-100.000", "-100"}, {"-0.000", "0"},
        {"123456789012345.0", "123456789012345"}, {"1234567890123456.0", "1234567890123456"},
        {"0.0000010", "0.000001"},         {"0.00000010", "1e-7"}, {"10000000000000000.0", "10000000000000000"},
        {"1" + std::string(309, '0'), ""}};
    for (const auto& [spelling, form] : forms) {
        NumberBuffer buffer;
        const auto written = number_form(spelling, buffer);
        if (form.empty()) {
            CHECK_FALSE(written.has_value());
        } else {
            CHECK(written.value_or("(refused)") == form);
        }
    }
}

TEST_CASE("an issued credential verifies, and one changed byte of it does not") {
    auto key = engine::KeyPair::from_secret_hex(std::string(64, '7'));
    REQUIRE(key.has_value());
    const std::string method = did_key_for(key->public_key());
    const std::string credential =
        R"({"@context": ["https://www.w3.org/ns/credentials/v2"], "type": ["VerifiableCredential"], "issuer": ")" +
        method + R"(", "credentialSubject": {"n": 1}})";
    auto secured = issue_credential(*key, credential, method + "#x", "2026-01-01T00:00:00Z");
    REQUIRE(secured.has_value());
    CHECK(secured->starts_with(credential.substr(0, credential.size() - 1)));
    auto public_key = did_key_public_key(method);
    REQUIRE(public_key.has_value());
    CHECK(*public_key == key->public_key());

    const auto verifies = [&](std::string_view text) {
        auto reading = read_proof(text);
        return reading && engine::verify(reading->hash_data, reading->signature, *public_key);
    };
    CHECK(verifies(*secured));
    std::string changed = *secured;
    changed.replace(changed.find("\"n\": 1"), 6, "\"n\": 2");
    CHECK_FALSE(verifies(changed));
    CHECK_FALSE(issue_credential(*key, *secured, method + "#x", "").has_value());  // a proof already
}

TEST_CASE("credential times are read to the microsecond in their zone, and only real ones") {
    const std::vector<std::pair<std::string, std::optional<Microseconds>>> times = {
        {"1970-01-01T00:00:00Z", 0},
        {"1970-01-01T00:00:00.0000019Z", 1},
        {"1970-01-01T01:00:00.5+01:00", 500'000},
        {"1969-12-31T23:59:59.999999Z", -1},
        {"2024-02-29T12:00:00-23:59", (19'782 * 86'400LL + 12 * 3600 + 23 * 3600 + 59 * 60) * 1'000'000},
        {"0001-01-01T00:00:00Z", -62'135'596'800LL * 1'000'000},
        {"9999-12-31T23:59:59Z", 253'402'300'799LL * 1'000'000},
        {"2023-02-29T00:00:00Z", std::nullopt}, {"2026-01-01T24:00:00Z", std::nullopt},
        {"2026-01-01T00:00:60Z", std::nullopt}, {"2026-01-01T00:00:00+24:00", std::nullopt},
        {"2026-01-01T00:00:00+01:60", std::nullopt}, {"2026-01-01T00:00:00.Z", std::nullopt},
        {"2026-01-01T00:00:00", std::nullopt},   {"2026-01-01 00:00:00Z", std::nullopt},
        {"0000-01-01T00:00:00Z", std::nullopt},  {"2026-01-01T00:00:00z", std::nullopt},
    };
    for (const auto& [text, moment] : times) {
        CAPTURE(text);
        CHECK(read_date_time(text) == moment);
    }
    CHECK(whole_second(-1) == -1);
    CHECK(whole_second(*read_date_time("2026-03-01T00:30:00.9+01:00")) == *read_date_time("2026-02-28T23:30:00Z") / 1'000'000);
}
