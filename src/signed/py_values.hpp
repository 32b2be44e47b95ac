// Parsed JSON values as Python objects. Needs the interpreter lock.
#pragma once

#include "binding/py_ref.hpp"
#include "json/reader.hpp"

namespace vek::record {

// `node` as the value json.loads gives: dict (members in text order), list, str, int or
// float, bool, None. Member names of the record vocabulary are shared interned strings.
PyObject* value_to_python(const json::Node& node);

}  // namespace vek::record
