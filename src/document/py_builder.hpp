// The DIDDocumentBuilder class.
#pragma once

#include "binding/py_ref.hpp"
#include "document/builder_state.hpp"

namespace vek::document {

struct BuilderClass {
    using State = BuilderState;
    static constexpr const char* name = "DIDDocumentBuilder";
    // Created on the first request and kept for the life of the process; null with the
    // interpreter's error set if creation fails.
    static PyTypeObject* type();
};

}  // namespace vek::document
