// The credential operations of did_vek._native: the SigningKey class, JCS, the eddsa-jcs-2022
// proof and raw Ed25519 verification.
#pragma once

#include "binding/py_ref.hpp"

namespace vek::record {

// Adds the functions and the SigningKey class to the module; false with the error set.
bool add_credentials(PyObject* module);

}  // namespace vek::record
