// The module's entry point and the registration of its surface.
#include "binding/conversion.hpp"
#include "binding/errors.hpp"
#include "binding/interpreter_guard.hpp"
#include "binding/py_ref.hpp"
#include "did/py_did_functions.hpp"
#include "document/py_builder.hpp"
#include "engine/py_engine.hpp"


namespace vek {
namespace {

using binding::PyRef;

constexpr const char kVersion[] = "0.1.0";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "did_vek_core",
    "",  // an empty __doc__, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module keeps process-wide state (its cache, its classes): why, in interpreter_guard.hpp.
binding::InterpreterGuard interpreter_guard{"did_vek_core"};

// The module object, created once per process and never released.
PyObject* module_cache = nullptr;

// Appends `name` to the module's __all__ (creating the list on first use), then sets the
// attribute.
bool add_to_module(PyObject* module, const char* name, PyObject* value) {
    static PyObject* all_name = PyUnicode_InternFromString("__all__");
    if (all_name == nullptr) return false;
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        binding::raise_conversion_error(all.get(), "PyList");
        return false;
    }
    PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!name_object) return false;
    if (PyList_Append(all.get(), name_object.get()) < 0) {
        PyErr_Clear();
        binding::raise_panic("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttr(module, name_object.get(), value) == 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    return type != nullptr && add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

// Module functions are bound to the module: their __self__ is the module and their
// __module__ its name.
bool add_functions(PyObject* module, PyMethodDef* table) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef* row = table; row->ml_name != nullptr; ++row) {
        PyRef function = PyRef::steal(PyCMethod_New(row, module, module_name.get(), nullptr));
        if (!function) return false;
        PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return false;
        const auto text = binding::text_from_python(name.get());  // NUL-terminated by CPython
        if (!text || !add_to_module(module, text->data(), function.get())) return false;
    }
    return true;
}

bool register_surface(PyObject* module) {
    if (!add_class(module, engine::EngineClass::name, engine::EngineClass::type())) return false;
    if (!add_class(module, document::BuilderClass::name, document::BuilderClass::type())) return false;
    if (!add_functions(module, did::module_function_table())) return false;
    PyRef version = PyRef::steal(PyUnicode_FromString(kVersion));
    return version && add_to_module(module, "__version__", version.get());
}

PyObject* initialise() {
    if (!interpreter_guard.claim()) return nullptr;
    if (module_cache == nullptr) {
        PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
        if (!module || !register_surface(module.get())) return nullptr;
        if (module_cache == nullptr) module_cache = module.release();
    }
    return Py_NewRef(module_cache);
}

}  // namespace
}  // namespace vek

PyMODINIT_FUNC PyInit_did_vek_core() {
    return vek::binding::guarded([] { return vek::initialise(); });
}
