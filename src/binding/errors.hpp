// Turning failures into raised Python exceptions: domain errors, internal defects, and
// the guard around every entry into the module.
#pragma once

#include "binding/py_ref.hpp"
#include "common/domain_error.hpp"
#include "common/refusal.hpp"

#include <exception>
#include <new>

namespace vek::binding {

// Sets the exception of a domain error; returns nullptr for the caller to hand back.
PyObject* raise(const DomainError& error);

// Sets ValueError with the refusal's message.
PyObject* raise(const Refusal& refusal);

// Sets PanicException with `message`, or a generic text when it is null or empty.
PyObject* raise_panic(const char* message);

// The PanicException type: created once per process, derived from BaseException so that
// `except Exception` does not swallow an internal defect. Not a module attribute.
PyObject* panic_exception_type();

// Runs `body` and turns a C++ exception escaping it into a Python exception: memory
// exhaustion into MemoryError, anything else into PanicException. RAII objects inside
// `body` (claims, references, secrets) are released before the exception is set.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    if constexpr (std::is_same_v<decltype(body()), int>) {
        return -1;
    } else {
        return nullptr;
    }
}

}  // namespace vek::binding
