#include "document/py_builder.hpp"

#include "binding/call.hpp"

namespace vek::document {
namespace {

using binding::ClaimKind;
using binding::describe;

constexpr const char* kClass = BuilderClass::name;

struct Construct {
    static constexpr auto signature = describe(kClass, "__new__", "did");
    static Result<BuilderState> run(std::string_view did) { return BuilderState::create(did); }
};

// Mutators hold the builder exclusively; their only failures happen before `run`, while
// the arguments are bound and converted, so a call changes the state fully or not at all.
struct SetController {
    static constexpr auto signature = describe(kClass, "set_controller", "controller");
    static constexpr auto claim = ClaimKind::Exclusive;
    static void run(BuilderState& state, std::string_view controller) { state.set_controller(controller); }
};

struct AddVerificationMethod {
    static constexpr auto signature = describe(kClass, "add_verification_method", "key_id", "public_key_hex");
    static constexpr auto claim = ClaimKind::Exclusive;
    static void run(BuilderState& state, std::string_view key_id, std::string_view public_key_hex) {
        state.add_verification_method(key_id, public_key_hex);
    }
};

struct AddAuthentication {
    static constexpr auto signature = describe(kClass, "add_authentication", "key_id");
    static constexpr auto claim = ClaimKind::Exclusive;
    static void run(BuilderState& state, std::string_view key_id) { state.add_authentication(key_id); }
};

struct AddAssertionMethod {
    static constexpr auto signature = describe(kClass, "add_assertion_method", "key_id");
    static constexpr auto claim = ClaimKind::Exclusive;
    static void run(BuilderState& state, std::string_view key_id) { state.add_assertion_method(key_id); }
};

struct AddService {
    static constexpr auto signature = describe(kClass, "add_service", "service_id", "service_type", "endpoint");
    static constexpr auto claim = ClaimKind::Exclusive;
    static void run(BuilderState& state, std::string_view id, std::string_view type, std::string_view endpoint) {
        state.add_service(id, type, endpoint);
    }
};

struct AddConsentService {
    static constexpr auto signature = describe(kClass, "add_consent_service", "endpoint");
    static constexpr auto claim = ClaimKind::Exclusive;
    static void run(BuilderState& state, std::string_view endpoint) {
        state.add_service(kConsentServiceId, kConsentServiceType, endpoint);
    }
};

struct AddTalvoService {
    static constexpr auto signature = describe(kClass, "add_talvo_service", "endpoint");
    static constexpr auto claim = ClaimKind::Exclusive;
    static void run(BuilderState& state, std::string_view endpoint) {
        state.add_service(kTalvoServiceId, kTalvoServiceType, endpoint);
    }
};

struct Build {
    static constexpr auto signature = describe(kClass, "build");
    static constexpr auto claim = ClaimKind::Shared;
    static Result<std::string> run(const BuilderState& state) { return state.build(); }
};

PyTypeObject* create_builder_class() {
    static PyMethodDef methods[] = {
        binding::method<BuilderClass, SetController>(),
        binding::method<BuilderClass, AddVerificationMethod>(),
        binding::method<BuilderClass, AddAuthentication>(),
        binding::method<BuilderClass, AddAssertionMethod>(),
        binding::method<BuilderClass, AddService>(),
        binding::method<BuilderClass, AddConsentService>(),
        binding::method<BuilderClass, AddTalvoService>(),
        binding::method<BuilderClass, Build>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return binding::create_class({
        .name = kClass,
        .constructor_signature = "(did)",
        .basic_size = sizeof(binding::Instance<BuilderState>),
        .construct = binding::constructor_entry<BuilderClass, Construct>,
        .dealloc = binding::dealloc_instance<BuilderState>,
        .methods = methods,
        .properties = nullptr,
    });
}

}  // namespace

PyTypeObject* BuilderClass::type() {
    static PyTypeObject* cell = nullptr;
    if (cell == nullptr) cell = create_builder_class();
    return cell;
}

}  // namespace vek::document
