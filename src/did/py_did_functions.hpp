// The module functions parse_did_py, is_valid_did_py and create_did_py.
#pragma once

#include "binding/py_ref.hpp"

namespace vek::did {

// Their method-table rows, ending with a null row; they live as long as the process.
PyMethodDef* module_function_table();

}  // namespace vek::did
