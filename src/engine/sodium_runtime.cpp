#include "engine/sodium_runtime.hpp"

#include <sodium.h>
#include <sys/auxv.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>

#include "engine/random_source.hpp"

namespace vek::engine {
namespace {

// True on the thread that is running sodium_init() for this module.
thread_local bool initialising = false;

// The kernel places 16 random bytes in every process's auxiliary vector at exec; the C
// library derives its stack canary from them. They are hashed here with a label, so what
// libsodium keeps reveals nothing of the bytes themselves.
void fill_from_exec_randomness(std::span<std::uint8_t> out) {
    std::uint8_t seed[16] = {};
    if (const auto* at_random = reinterpret_cast<const std::uint8_t*>(getauxval(AT_RANDOM))) {
        std::memcpy(seed, at_random, sizeof seed);
    }
    static constexpr char kLabel[] = "did_vek_core: libsodium canary";
    for (std::uint64_t block = 0; !out.empty(); ++block) {
        crypto_hash_sha512_state state;
        std::uint8_t digest[crypto_hash_sha512_BYTES];
        crypto_hash_sha512_init(&state);
        crypto_hash_sha512_update(&state, reinterpret_cast<const unsigned char*>(kLabel), sizeof kLabel);
        crypto_hash_sha512_update(&state, seed, sizeof seed);
        crypto_hash_sha512_update(&state, reinterpret_cast<const unsigned char*>(&block), sizeof block);
        crypto_hash_sha512_final(&state, digest);
        const std::size_t take = std::min(out.size(), sizeof digest);
        std::memcpy(out.data(), digest, take);
        out = out.subspan(take);
        sodium_memzero(digest, sizeof digest);
        sodium_memzero(&state, sizeof state);
    }
    sodium_memzero(seed, sizeof seed);
}

// libsodium's generator interface. A request is served from the operating system's
// source. If that source is unusable, the one request that initialisation itself makes
// (the canary of libsodium's guarded allocations) is served from the exec randomness;
// any other request ends in sodium_misuse(), libsodium's own response, because its
// interface cannot report a failure and handing out predictable bytes would be worse.
// This module never asks libsodium for random bytes: its seeds come from fill_random.
void os_buf(void* buffer, std::size_t size) {
    const std::span out(static_cast<std::uint8_t*>(buffer), size);
    if (read_random(out) == 0) return;
    if (initialising) return fill_from_exec_randomness(out);
    sodium_misuse();
}

std::uint32_t os_random() {
    std::uint32_t value;
    os_buf(&value, sizeof value);
    return value;
}

const char* os_name() { return "did_vek_core os"; }
void os_stir() {}  // nothing is buffered, so there is nothing to stir
int os_close() { return 0; }

randombytes_implementation os_source = {
    .implementation_name = os_name,
    .random = os_random,
    .stir = os_stir,
    .uniform = nullptr,  // libsodium derives a uniform draw from random()
    .buf = os_buf,
    .close = os_close,
};

bool initialise() {
    randombytes_set_implementation(&os_source);
    initialising = true;
    const int status = sodium_init();
    initialising = false;
    return status >= 0;
}

}  // namespace

void ensure_sodium() {
    static const bool ready = initialise();  // thread-safe: callers may not hold the interpreter lock
    if (!ready) throw std::runtime_error("libsodium failed to initialise");
}

}  // namespace vek::engine
