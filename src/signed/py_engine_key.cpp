#include "signed/py_engine_key.hpp"

#include "binding/conversion.hpp"
#include "binding/heap_type.hpp"

namespace vek::record {
namespace {

// Kept for the life of the process, like the class itself in its module.
PyObject* engine_class = nullptr;

}  // namespace

bool find_engine_class() {
    if (engine_class != nullptr) return true;
    binding::PyRef core = binding::PyRef::steal(PyImport_ImportModule("did_vek_core"));
    if (!core) return false;
    engine_class = PyObject_GetAttrString(core.get(), "DIDEngine");
    if (engine_class != nullptr && !PyType_Check(engine_class)) {
        Py_CLEAR(engine_class);
        PyErr_SetString(PyExc_ImportError, "did_vek_core.DIDEngine is not a class");
    }
    return engine_class != nullptr;
}

}  // namespace vek::record

namespace vek::binding {

template <>
std::optional<record::EngineKey> from_python(PyObject* object) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(object)) != record::engine_class) {
        raise_conversion_error(object, "DIDEngine");
        return std::nullopt;
    }
    auto* instance = instance_of<engine::KeyPair>(object);
    auto claim = Claim::take(object, instance->claim, ClaimKind::Shared);
    if (!claim) return std::nullopt;
    return record::EngineKey{std::move(*claim), &instance->state};
}

}  // namespace vek::binding
