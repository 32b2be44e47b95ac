// The DID map of did_vek._native: the DidMap class over the native map.
#pragma once

#include "binding/py_ref.hpp"

namespace vek::tlog {

// Adds the DidMap class to the module; false with the error set.
bool add_did_map(PyObject* module);

}  // namespace vek::tlog
