// The key pair's seed is overwritten when an instance is destroyed or moved from, and when
// construction fails after part of the seed was drawn. The instances live in buffers of
// the test's own, so their bytes can be read once the instance is gone. A failing random
// source is simulated by defining getrandom(2) here: the executable's definition takes the
// place of the C library's and forwards to the system call unless a test arms it.
#include <doctest/doctest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <span>
#include <vector>

#include "engine/hex.hpp"
#include "engine/key_pair.hpp"

using vek::engine::KeyPair;

namespace {

constexpr std::string_view kSeedHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";  // RFC 8032
int calls = -1;                        // armed from 0: the first call hands out half, filled with 0xa5; the next fails
const std::uint8_t* drawn_at = nullptr;  // where the first armed call wrote

// Storage for one KeyPair whose bytes outlive it, read through volatile.
struct Slot {
    alignas(KeyPair) std::uint8_t bytes[sizeof(KeyPair)];

    bool holds(std::span<const std::uint8_t> needle) const {
        std::array<std::uint8_t, sizeof(KeyPair)> copy;
        const volatile std::uint8_t* from = bytes;
        for (std::size_t i = 0; i < copy.size(); ++i) copy[i] = from[i];
        return !std::ranges::search(copy, needle).empty();
    }
};

}  // namespace

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    if (calls < 0) return syscall(SYS_getrandom, buffer, length, flags);
    if (calls++ > 0) return errno = EIO, -1;
    drawn_at = static_cast<const std::uint8_t*>(buffer);
    std::fill_n(static_cast<std::uint8_t*>(buffer), length / 2, 0xa5);
    return static_cast<ssize_t>(length / 2);
}

TEST_CASE("the seed is overwritten in a moved-from and in a destroyed key pair") {
    std::array<std::uint8_t, 32> seed;
    REQUIRE(vek::engine::decode_hex_exact(kSeedHex, seed));
    Slot from, to;
    auto* original = new (from.bytes) KeyPair(*KeyPair::from_secret_hex(kSeedHex));
    REQUIRE(from.holds(seed));  // the test can see the seed where it lives
    auto* moved = new (to.bytes) KeyPair(std::move(*original));
    CHECK((!from.holds(std::span(seed).first(8)) && to.holds(seed)));
    original->~KeyPair();
    moved->~KeyPair();
    CHECK_FALSE(to.holds(std::span(seed).first(8)));
}

TEST_CASE("a key pair whose random source fails midway wipes what it had drawn") {
    { auto warm = KeyPair::from_secret_hex(kSeedHex); }  // libsodium draws its own randomness first
    Slot slot;
    calls = 0;
    // The pair under construction lives in the slot whenever the compiler builds the named
    // result in place, which is what makes its bytes observable.
    CHECK_THROWS_WITH(static_cast<void>(new (slot.bytes) KeyPair(KeyPair::generate())), "Error: Input/output error");
    CHECK(calls == 2);
    calls = -1;
    const bool observable = drawn_at >= slot.bytes && drawn_at < slot.bytes + sizeof slot.bytes;
    if (!observable) MESSAGE("generate() built its pair outside the caller's storage; its bytes are not observable");
    CHECK_FALSE((observable && slot.holds(std::vector<std::uint8_t>(16, 0xa5))));
}
