#include "engine/py_engine.hpp"

#include "binding/call.hpp"
#include "document/signed_document.hpp"
#include "engine/key_did.hpp"
#include "engine/verification.hpp"

namespace vek::engine {
namespace {

using binding::ClaimKind;
using binding::describe;
using binding::NewObject;

constexpr const char* kClass = EngineClass::name;

// The operations whose work is cryptographic (key derivation, signing, verification)
// give the interpreter lock up while they run; the properties and the DID methods are
// too short for that to pay.

struct Construct {
    static constexpr auto signature = describe(kClass, "__new__");
    static constexpr bool releases_lock = true;
    static KeyPair run() { return KeyPair::generate(); }
};

struct FromSecretKey {
    static constexpr auto signature = describe(kClass, "from_secret_key", "secret_hex");
    static constexpr bool releases_lock = true;
    static Result<NewObject<EngineClass>> run(std::string_view secret_hex) {
        auto key = KeyPair::from_secret_hex(secret_hex);
        if (!key) return std::unexpected(key.error());
        return NewObject<EngineClass>{std::move(*key)};
    }
};

struct PublicKeyHex {
    static constexpr auto signature = describe(kClass, "public_key");
    static constexpr auto claim = ClaimKind::Shared;
    static std::string run(const KeyPair& key) { return key.public_key_hex(); }
};

struct PublicKeyMultibase {
    static constexpr auto signature = describe(kClass, "public_key_multibase");
    static constexpr auto claim = ClaimKind::Shared;
    static std::string run(const KeyPair& key) { return key.public_key_multibase(); }
};

struct CreateDid {
    static constexpr auto signature = describe(kClass, "create_did", "id");
    static constexpr auto claim = ClaimKind::Shared;
    static std::string run(const KeyPair&, std::string_view id) { return did_with_id(id); }
};

struct CreateDidFromKey {
    static constexpr auto signature = describe(kClass, "create_did_from_key");
    static constexpr auto claim = ClaimKind::Shared;
    static std::string run(const KeyPair& key) { return did_from_public_key(key.public_key()); }
};

struct Sign {
    static constexpr auto signature = describe(kClass, "sign", "message");
    static constexpr bool releases_lock = true;
    static constexpr auto claim = ClaimKind::Shared;
    static std::string run(const KeyPair& key, std::string_view message) { return key.sign_hex(message); }
};

struct Verify {
    static constexpr auto signature = describe(kClass, "verify", "message", "signature");
    static constexpr bool releases_lock = true;
    static constexpr auto claim = ClaimKind::Shared;
    static bool run(const KeyPair& key, std::string_view message, std::string_view signature_hex) {
        return verify_hex(message, signature_hex, key.public_key());
    }
};

struct VerifyWithKey {
    static constexpr auto signature = describe(kClass, "verify_with_key", "message", "signature", "public_key");
    static constexpr bool releases_lock = true;
    static bool run(std::string_view message, std::string_view signature_hex, std::string_view public_key_hex) {
        return verify_hex_with_key(message, signature_hex, public_key_hex);
    }
};

struct CreateDocument {
    static constexpr auto signature = describe(kClass, "create_document", "did");
    static constexpr bool releases_lock = true;
    static constexpr auto claim = ClaimKind::Shared;
    static Result<std::string> run(const KeyPair& key, std::string_view did) {
        return document::create_signed_document(key, did);
    }
};

PyTypeObject* create_engine_class() {
    static PyMethodDef methods[] = {
        binding::static_method<FromSecretKey>(),
        binding::method<EngineClass, CreateDid>(),
        binding::method<EngineClass, CreateDidFromKey>(),
        binding::method<EngineClass, Sign>(),
        binding::method<EngineClass, Verify>(),
        binding::static_method<VerifyWithKey>(),
        binding::method<EngineClass, CreateDocument>(),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef properties[] = {
        binding::property<EngineClass, PublicKeyHex>(),
        binding::property<EngineClass, PublicKeyMultibase>(),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return binding::create_class({
        .name = kClass,
        .constructor_signature = "()",
        .basic_size = sizeof(binding::Instance<KeyPair>),
        .construct = binding::constructor_entry<EngineClass, Construct>,
        .dealloc = binding::dealloc_instance<KeyPair>,
        .methods = methods,
        .properties = properties,
    });
}

}  // namespace

PyTypeObject* EngineClass::type() {
    static PyTypeObject* cell = nullptr;
    if (cell == nullptr) cell = create_engine_class();
    return cell;
}

}  // namespace vek::engine
