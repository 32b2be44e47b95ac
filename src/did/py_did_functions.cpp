#include "did/py_did_functions.hpp"

#include "binding/call.hpp"
#include "did/did_syntax.hpp"

namespace vek::did {
namespace {

using binding::describe;

struct ParseDid {
    static constexpr auto signature = describe(nullptr, "parse_did_py", "did").with_summary("Parse a DID string");
    static std::optional<std::pair<std::string_view, std::string_view>> run(std::string_view did) {
        const auto parsed = parse_did(did);
        if (!parsed) return std::nullopt;
        return std::pair{parsed->method, parsed->identifier};
    }
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
