// The module's classes: heap types whose instances hold a C++ state and a claim counter.
#pragma once

#include "binding/claim.hpp"
#include "binding/py_ref.hpp"

#include <new>
#include <utility>

namespace vek::binding {

template <class State>
struct Instance {
    PyObject_HEAD
    ClaimCounter claim;
    State state;
};

template <class State>
Instance<State>* instance_of(PyObject* object) {
    return reinterpret_cast<Instance<State>*>(object);
}

// Releases the state (an engine wipes its seed here), then frees the object and drops
// the instance's reference to its heap type.
template <class State>
void dealloc_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    Instance<State>* instance = instance_of<State>(object);
    instance->state.~State();
    instance->claim.~ClaimCounter();
    type->tp_free(object);
    Py_DECREF(type);
}

// Allocates an instance of `type` and moves `state` into it. When allocation fails the
// state stays with the caller, whose destructor releases it.
template <class State>
PyObject* new_instance(PyTypeObject* type, State&& state) {
    allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* object = allocate(type, 0);
    if (object == nullptr) return nullptr;
    Instance<State>* instance = instance_of<State>(object);
    new (&instance->claim) ClaimCounter(0);
    new (&instance->state) State(std::move(state));
    return object;
}

struct ClassDescription {
    const char* name;                  // the bare class name, e.g. "DIDEngine"
    const char* constructor_signature;  // e.g. "(did)"
    int basic_size;
    newfunc construct;
    destructor dealloc;
    PyMethodDef* methods;
    PyGetSetDef* properties;
};

// Creates the class "builtins.<name>" with the documentation "<name><signature>\n--\n\n".
// Neither subclassable nor tracked by the cyclic collector; no __dict__, no weak references.
PyTypeObject* create_class(const ClassDescription& description);

}  // namespace vek::binding
