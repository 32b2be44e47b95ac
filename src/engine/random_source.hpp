// The operating system's random source.
#pragma once

#include <cstdint>
#include <span>

namespace vek::engine {

// Fills `out` completely from the kernel's random pool, blocking until the pool is
// initialised. Returns 0, or the errno value that describes why the source failed.
// Never throws, so C code (libsodium's generator interface) can call it.
int read_random(std::span<std::uint8_t> out) noexcept;

// read_random for the engine: throws std::runtime_error("Error: <system description>")
// when the source fails, which is an internal defect, not a domain error.
void fill_random(std::span<std::uint8_t> out);

}  // namespace vek::engine
