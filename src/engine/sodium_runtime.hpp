// libsodium, initialised once per process before the engine's first use of it.
#pragma once

namespace vek::engine {

// Installs this module's random source as libsodium's generator, then initialises the
// library. libsodium's own generator opens /dev/urandom when getrandom(2) is missing and
// aborts the process when it cannot; with ours, initialisation never ends the process,
// and a missing random source surfaces only where randomness is needed (DIDEngine()).
// Throws std::runtime_error if libsodium cannot be initialised.
void ensure_sodium();

}  // namespace vek::engine
