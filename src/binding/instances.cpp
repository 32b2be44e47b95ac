#include "binding/instances.hpp"

namespace vek::binding {

template <>
std::optional<ResultType> from_python(PyObject* object) {
    if (!PyType_Check(object)) {
        PyErr_Format(PyExc_TypeError, "must be a class, not %s", Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    return ResultType{reinterpret_cast<PyTypeObject*>(object)};
}

PyObject* instance_with(PyTypeObject* type, std::span<PyObject* const> names, std::span<PyRef> values) {
    for (const PyRef& value : values) {
        if (!value) return nullptr;
    }
    const PyRef no_arguments = PyRef::steal(PyTuple_New(0));
    if (!no_arguments) return nullptr;
    PyRef instance = PyRef::steal(type->tp_new(type, no_arguments.get(), nullptr));
    if (!instance) return nullptr;
    // object.__setattr__, past the frozen class's own __setattr__, which refuses.
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (PyObject_GenericSetAttr(instance.get(), names[i], values[i].get()) < 0) return nullptr;
    }
    return instance.release();
}

}  // namespace vek::binding
