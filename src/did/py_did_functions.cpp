#include "did/py_did_functions.hpp"

#include "binding/call.hpp"
#include "did/did_syntax.hpp"

namespace vek::did {
namespace {

using binding::describe;

struct ParseDid {
    static constexpr auto signature = describe(nullptr, "parse_did_py", "did").with_summary("Parse a DID string");
    static std::optional<ParsedDid> run(std::string_view did) { return parse_did(did); }
};

struct IsValidDid {
    static constexpr auto signature =
        describe(nullptr, "is_valid_did_py", "did").with_summary("Validate a did:vek identifier");
    static bool run(std::string_view did) { return is_valid_did(did); }
};

struct CreateDid {
    static constexpr auto signature =
        describe(nullptr, "create_did_py", "parts").with_summary("Create a did:vek identifier");
    static Result<std::string> run(const std::vector<std::string>& parts) { return create_did_from_parts(parts); }
};

}  // namespace

// (method, identifier), or None. The method of our own DIDs comes back as one shared
// "vek" object instead of a new string per call.
PyObject* to_python(const std::optional<ParsedDid>& parsed) {
    if (!parsed) Py_RETURN_NONE;
    binding::PyRef method;
    if (parsed->method == kMethodName) {
        // Created on first use under the interpreter lock; kept for the life of the process.
        static PyObject* own_method = nullptr;
        if (own_method == nullptr) {
            own_method = binding::to_python(kMethodName);
            if (own_method == nullptr) return nullptr;
            PyUnicode_InternInPlace(&own_method);
        }
        method = binding::PyRef::borrow(own_method);
    } else {
        method = binding::PyRef::steal(binding::to_python(parsed->method));
        if (!method) return nullptr;
    }
    binding::PyRef identifier = binding::PyRef::steal(binding::to_python(parsed->identifier));
    if (!identifier) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, method.release());
    PyTuple_SET_ITEM(pair, 1, identifier.release());
    return pair;
}

PyMethodDef* module_function_table() {
    static PyMethodDef table[] = {
        binding::function<ParseDid>(),
        binding::function<IsValidDid>(),
        binding::function<CreateDid>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return table;
}

}  // namespace vek::did
