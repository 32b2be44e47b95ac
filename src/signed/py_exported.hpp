// The export's versions in did_vek._native: read_export, and the ExportedVersion class that
// holds one read version for the rule checks that follow.
#pragma once

#include <memory>

#include "binding/py_ref.hpp"
#include "signed/exported_version.hpp"

namespace vek::record {

// Adds read_export's class to the module; false with the error set.
bool add_exported(PyObject* module);

// The version an ExportedVersion object holds; null for any other object. Needs the lock.
std::shared_ptr<const ExportedVersion> exported_of(PyObject* object);

}  // namespace vek::record
