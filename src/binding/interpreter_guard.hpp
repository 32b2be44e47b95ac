// Both extension modules keep process-wide Python objects, so each serves only the
// interpreter that first imported it; a second interpreter gets an ImportError.
//
// Why process-wide: the objects are the classes (DIDEngine, DIDDocumentBuilder), the
// PanicException type, the module object of did_vek_core (one per process, so that a
// re-import hands back the same classes) and the interned member names of signed documents.
// Each is created once and read on every call from a static, with no lookup. Module state
// would put a lookup of the module (through the instance's type, or the defining class
// passed in) in front of every method and function, whose whole cost is a few hundred
// nanoseconds for the DID functions. What that buys, sub-interpreters, no caller of this
// package uses; so the modules refuse a second interpreter plainly instead of sharing
// objects between interpreters, which would corrupt their reference counts once each
// interpreter has a lock of its own.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace vek::binding {

class InterpreterGuard {
public:
    explicit InterpreterGuard(const char* module_name) : module_name_(module_name) {}

    // True when the calling interpreter owns the module (claiming it on first use); otherwise
    // sets ImportError and returns false.
    bool claim() {
        const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter == -1) return false;
        std::int64_t expected = -1;
        if (owner_.compare_exchange_strong(expected, interpreter) || expected == interpreter) return true;
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it is already loaded in another interpreter of this "
                     "process",
                     module_name_);
        return false;
    }

private:
    const char* module_name_;
    std::atomic<std::int64_t> owner_{-1};
};

}  // namespace vek::binding
