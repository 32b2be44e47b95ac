#include "binding/heap_type.hpp"

#include <string>

namespace vek::binding {

PyTypeObject* create_class(const ClassDescription& description) {
    // PyType_FromSpec keeps pointers to the name: both strings live as long as the process.
    const std::string* name = new std::string(std::string("builtins.") + description.name);
    const std::string* doc =
        new std::string(std::string(description.name) + description.constructor_signature + "\n--\n\n");

    PyType_Slot slots[6] = {
        {Py_tp_new, reinterpret_cast<void*>(description.construct)},
        {Py_tp_dealloc, reinterpret_cast<void*>(description.dealloc)},
        {Py_tp_doc, const_cast<char*>(doc->c_str())},
        {Py_tp_methods, description.methods},
    };
    if (description.properties != nullptr) slots[4] = {Py_tp_getset, description.properties};
    PyType_Spec spec{name->c_str(), description.basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vek::binding
