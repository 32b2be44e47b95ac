// The key pair's secret seed is overwritten on every way out of an instance: destruction,
// being moved from, and a construction that fails after part of the seed was drawn.
//
// The instances are placed in buffers of the test's own, so that their bytes can still be
// read once the instance is gone. A failing random source is simulated by defining
// getrandom(2) here: the executable's definition takes the place of the C library's for the
// whole process, and forwards to the system call unless a test arms it.
#include <doctest/doctest.h>

#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <new>
#include <span>
#include <stdexcept>
#include <string>

#include "engine/hex.hpp"
#include "engine/key_pair.hpp"

namespace {

using vek::engine::KeyPair;

// RFC 8032 TEST 1.
constexpr const char* kSeedHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr const char* kPublicHex = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

struct FailingSource {
    bool armed = false;
    int calls = 0;
    std::size_t delivered = 0;  // bytes handed out by the first call
    const std::uint8_t* buffer = nullptr;
};
FailingSource source;
constexpr std::uint8_t kDrawnByte = 0xa5;

// Storage for one KeyPair whose bytes outlive it.
struct Slot {
    alignas(KeyPair) std::uint8_t bytes[sizeof(KeyPair)];

    KeyPair* get() { return std::launder(reinterpret_cast<KeyPair*>(bytes)); }

    // Read through volatile: the bytes of a destroyed object are what the test is about.
    bool holds(std::span<const std::uint8_t> needle) const {
        std::array<std::uint8_t, sizeof(KeyPair)> copy;
        const volatile std::uint8_t* source_bytes = bytes;
        for (std::size_t i = 0; i < copy.size(); ++i) copy[i] = source_bytes[i];
        return std::ranges::search(copy, needle).begin() != copy.end();
    }
};

std::array<std::uint8_t, 32> seed() {
    std::array<std::uint8_t, 32> bytes;
    REQUIRE(vek::engine::decode_hex_exact(kSeedHex, bytes));
    return bytes;
}

KeyPair* place(Slot& slot) {
    auto made = KeyPair::from_secret_hex(kSeedHex);
    REQUIRE(made.has_value());
    return new (slot.bytes) KeyPair(std::move(*made));
}

}  // namespace

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    if (!source.armed) return syscall(SYS_getrandom, buffer, length, flags);
    // The first call hands out half of what was asked, the next one fails.
    if (source.calls++ == 0) {
        source.delivered = length / 2;
        source.buffer = static_cast<const std::uint8_t*>(buffer);
        std::fill_n(static_cast<std::uint8_t*>(buffer), source.delivered, kDrawnByte);
        return static_cast<ssize_t>(source.delivered);
    }
    errno = EIO;
    return -1;
}

TEST_CASE("a key pair's seed is overwritten when it is destroyed") {
    const auto secret = seed();
    Slot slot;
    KeyPair* pair = place(slot);
    CHECK(pair->public_key_hex() == kPublicHex);
    REQUIRE(slot.holds(secret));  // the test can see the seed where it lives
    pair->~KeyPair();
    CHECK_FALSE(slot.holds(secret));
    CHECK_FALSE(slot.holds(std::span(secret).first(8)));
}

TEST_CASE("moving a key pair leaves no seed behind in the source") {
    const auto secret = seed();
    Slot from, to;
    KeyPair* original = place(from);
    KeyPair* moved = new (to.bytes) KeyPair(std::move(*original));
    CHECK_FALSE(from.holds(std::span(secret).first(8)));
    CHECK(to.holds(secret));
    CHECK(moved->public_key_hex() == kPublicHex);
    CHECK(moved->sign_hex("") ==
          "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
          "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
    original->~KeyPair();
    moved->~KeyPair();
    CHECK_FALSE(to.holds(std::span(secret).first(8)));
}

TEST_CASE("a key pair whose random source fails midway wipes what it had drawn") {
    // libsodium is initialised, and draws its own randomness, before the source is armed.
    { auto warm = KeyPair::from_secret_hex(kSeedHex); }
    Slot slot;
    source = FailingSource{.armed = true};
    std::string message;
    try {
        // The result object is the slot itself, and the pair under construction lives
        // there too whenever the compiler constructs the named result in place.
        new (slot.bytes) KeyPair(KeyPair::generate());
        FAIL("generate() returned despite the failing source");
    } catch (const std::runtime_error& error) {
        message = error.what();
    }
    source.armed = false;
    CHECK(message == "Error: Input/output error");
    REQUIRE(source.calls == 2);
    REQUIRE(source.delivered == 16);
    const std::array<std::uint8_t, 16> drawn = [] {
        std::array<std::uint8_t, 16> bytes;
        bytes.fill(kDrawnByte);
        return bytes;
    }();
    const bool in_slot = source.buffer >= slot.bytes && source.buffer < slot.bytes + sizeof slot.bytes;
    if (in_slot) {
        CHECK_FALSE(slot.holds(drawn));
    } else {
        MESSAGE("generate() built its pair outside the caller's storage; its bytes are not observable");
    }
}
