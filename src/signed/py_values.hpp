// Parsed JSON values and refusals as Python objects. Needs the interpreter lock.
#pragma once

#include "binding/py_ref.hpp"
#include "signed/refusal.hpp"
#include "signed/strict_json.hpp"

namespace vek::record {

// `node` as the value json.loads gives: dict (members in text order), list, str, int or
// float, bool, None. Member names of the record vocabulary are shared interned strings.
PyObject* value_to_python(const Node& node);

// Sets ValueError with the refusal's message; returns nullptr for the caller to hand back.
PyObject* raise(const Refusal& refusal);

}  // namespace vek::record
