// Python values written in the value form by the one JSON writer. Needs the interpreter lock.
#pragma once

#include "binding/py_ref.hpp"

namespace vek::record {

// `value` (dicts with str keys, lists and tuples, str, int, float, bool, None, as json.loads
// gives them) in the value form: members sorted by name at every level, two-space layout,
// the engine's escaping, as json.dumps(value, ensure_ascii=False, sort_keys=True, indent=2)
// writes it. A value holding a text with a lone surrogate, which has no UTF-8 form to print,
// is written with every non-ASCII character escaped instead, as with ensure_ascii=True. A new
// str, or null with TypeError (another type) or RecursionError set.
PyObject* value_form_of(PyObject* value);

// The same value on one line, its members in the dicts' order, as
// json.dumps(value, ensure_ascii=False).encode() writes it: new bytes, or null with the error
// set (UnicodeEncodeError for a text with a lone surrogate).
PyObject* json_line_of(PyObject* value);

}  // namespace vek::record
