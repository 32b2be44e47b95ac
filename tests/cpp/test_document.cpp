// Documents in the core: the clock readings behind each timestamp, and writing failures.
// The real-time clock is replaced by defining clock_gettime(2) here (as getrandom is in
// test_secret_wiping.cpp): once a test sets the next second, each reading returns it with
// the largest fraction, which must be dropped, and moves on by one second.
#include <doctest/doctest.h>
#include <nlohmann/json.hpp>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

#include "document/builder_state.hpp"
#include "document/did_document.hpp"
#include "document/signed_document.hpp"

using namespace vek;
using namespace vek::document;
using RecordJson = nlohmann::ordered_json;  // an independent reader

namespace {
long next_second = -1;
}

extern "C" int clock_gettime(clockid_t id, timespec* now) {
    if (id != CLOCK_REALTIME || next_second < 0) return static_cast<int>(syscall(SYS_clock_gettime, id, now));
    *now = timespec{next_second++, 999999999};
    return 0;
}

TEST_CASE("one clock reading for created and updated at creation; three in a signed document") {
    const auto pair = engine::KeyPair::generate();
    const auto builder = BuilderState::create("did:vek:t");
    const std::pair<long, std::array<std::string, 3>> cases[] = {
        {0, {"1970-01-01T00:00:00Z", "1970-01-01T00:00:01Z", "1970-01-01T00:00:02Z"}},
        {951868799, {"2000-02-29T23:59:59Z", "2000-03-01T00:00:00Z", "2000-03-01T00:00:01Z"}},
        {1735689599, {"2024-12-31T23:59:59Z", "2025-01-01T00:00:00Z", "2025-01-01T00:00:01Z"}},
    };
    for (const auto& [start, readings] : cases) {
        next_second = start;
        const auto built = RecordJson::parse(*builder->build());
        CHECK(next_second == start + 1);
        next_second = start;
        const auto signed_document = RecordJson::parse(*create_signed_document(pair, "did:vek:t"));
        CHECK(next_second == start + 3);
        next_second = -1;
        CHECK((built["created"] == readings[0] && built["updated"] == readings[0]));
        CHECK(signed_document["document"]["created"] == readings[0]);
        CHECK(signed_document["document"]["updated"] == readings[1]);  // part of the signed bytes
        CHECK(signed_document["proof"]["created"] == readings[2]);
    }
}

// The writer itself is fuzzed (tests/fuzz/fuzz_json_writer.cpp); this is what build() makes of its failure.
TEST_CASE("build() reports a text that is not UTF-8 as serialization_failed, not as an empty document") {
    auto builder = BuilderState::create("did:vek:x");
    builder->add_service("svc", "T", "caf\xc3");
    CHECK(builder->build().error() == errors::serialization_failed);
}
