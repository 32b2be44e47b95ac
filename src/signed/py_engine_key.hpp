// The key of a did_vek_core.DIDEngine, used by did_vek._native without a call back into
// Python. Both modules are built from the same sources in the same build, so an engine's
// instance has the same layout here as in its own module; the engine's claim counter is
// honoured the same way its own operations honour it.
#pragma once

#include <optional>

#include "binding/claim.hpp"
#include "binding/conversion.hpp"
#include "engine/key_pair.hpp"

namespace vek::record {

// A shared claim on an engine, held while its key signs (without the interpreter lock).
struct EngineKey {
    binding::Claim claim;
    const engine::KeyPair* key;
};

// Looks up did_vek_core.DIDEngine once, at the module's creation; false with the error set.
bool find_engine_class();

}  // namespace vek::record

namespace vek::binding {

// An exact DIDEngine (the class cannot be subclassed), claimed as its own signing claims it.
template <>
std::optional<record::EngineKey> from_python(PyObject* object);

}  // namespace vek::binding
