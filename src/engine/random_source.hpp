// The operating system's random source.
#pragma once

#include <cstdint>
#include <span>

namespace vek::engine {

// Fills `out` completely from the kernel's random pool, blocking until the pool is
// initialised. Throws std::runtime_error("Error: <system description>") when the
// source fails: that is an internal defect, not a domain error.
void fill_random(std::span<std::uint8_t> out);

}  // namespace vek::engine
