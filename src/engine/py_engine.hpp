// The DIDEngine class.
#pragma once

#include "binding/py_ref.hpp"
#include "engine/key_pair.hpp"

namespace vek::engine {

struct EngineClass {
    using State = KeyPair;
    static constexpr const char* name = "DIDEngine";
    // Created on the first request and kept for the life of the process; null with the
    // interpreter's error set if creation fails.
    static PyTypeObject* type();
};

}  // namespace vek::engine
