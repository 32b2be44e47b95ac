#include "binding/errors.hpp"

namespace vek::binding {
namespace {

constexpr const char kPanicDoc[] =
    "Raised when did_vek_core meets an internal failure it cannot recover from: a broken "
    "internal assumption or a failing system random source.\n\n"
    "It derives from BaseException, not Exception, so that handlers for ordinary errors "
    "do not silently swallow it.";

constexpr const char kGenericPanicMessage[] = "did_vek_core met an internal failure";

}  // namespace

PyObject* raise(const DomainError& error) {
    PyObject* type = error.kind == ErrorKind::Type ? PyExc_TypeError : PyExc_ValueError;
    PyErr_SetString(type, error.message);
    return nullptr;
}

PyObject* panic_exception_type() {
    // Created under the interpreter lock on first need and never released.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("did_vek_core.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* raise(const Refusal& refusal) {
    PyErr_SetString(PyExc_ValueError, refusal.message.c_str());
    return nullptr;
}

PyObject* raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;  // the interpreter's own error stays set
    PyErr_SetString(type, message != nullptr && *message != '\0' ? message : kGenericPanicMessage);
    return nullptr;
}

}  // namespace vek::binding
