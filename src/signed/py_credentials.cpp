// Python entry points of the credential operations. Cryptographic work and the parsing of a
// credential run without the interpreter lock; the SigningKey's seed lives only in its native
// state, which wipes it when the object goes (engine::KeyPair).
#include "signed/py_credentials.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "binding/call.hpp"
#include "credentials/canonical_json.hpp"
#include "credentials/did_key.hpp"
#include "credentials/eddsa_jcs.hpp"
#include "engine/hex.hpp"
#include "engine/verification.hpp"
#include "signed/py_text.hpp"
#include "signed/py_values.hpp"

namespace vek::record {

// A bytes argument. Bytes cannot change, and the argument lives until the call returns, so
// the view stays valid while the lock is given up.
struct Bytes {
    std::string_view data;
};

}  // namespace vek::record

namespace vek::binding {

template <>
std::optional<record::Bytes> from_python(PyObject* object) {
    if (!PyBytes_Check(object)) {
        PyErr_Format(PyExc_TypeError, "must be bytes, not %s", Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    return record::Bytes{std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)))};
}

}  // namespace vek::binding

namespace vek::record {
namespace {

using binding::ClaimKind;
using binding::describe;
using binding::NewObject;
using credentials::ProofReading;
using engine::KeyPair;

struct SigningKeyClass {
    using State = KeyPair;
    static constexpr const char* name = "SigningKey";
    static PyTypeObject* type();
};

constexpr const char* kClass = SigningKeyClass::name;

struct Signature {
    engine::SignatureBytes bytes;
};

PyObject* to_python(Signature&& signature) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(signature.bytes.data()),
                                     static_cast<Py_ssize_t>(signature.bytes.size()));
}

PyObject* bytes_of(std::span<const std::uint8_t> bytes) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* text_or_none(const std::optional<std::string>& text) {
    return text ? binding::to_python(std::string_view(*text)) : Py_NewRef(Py_None);
}

struct Reading {
    ProofReading reading;
};

// (issuer, verification method, created, validFrom, validUntil, context in proof, hash data,
// signature); the absent texts as None.
PyObject* to_python(Reading&& result) {
    const ProofReading& r = result.reading;
    binding::PyRef items[] = {
        binding::PyRef::steal(binding::to_python(std::string_view(r.issuer))),
        binding::PyRef::steal(binding::to_python(std::string_view(r.verification_method))),
        binding::PyRef::steal(text_or_none(r.created)),
        binding::PyRef::steal(text_or_none(r.valid_from)),
        binding::PyRef::steal(text_or_none(r.valid_until)),
        binding::PyRef::steal(binding::to_python(r.context_in_proof)),
        binding::PyRef::steal(bytes_of(r.hash_data)),
        binding::PyRef::steal(bytes_of(r.signature)),
    };
    for (const binding::PyRef& item : items) {
        if (!item) return nullptr;
    }
    PyObject* tuple = PyTuple_New(std::size(items));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < std::size(items); ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple;
}

struct Construct {
    static constexpr auto signature = describe(kClass, "__new__", "secret_hex");
    static constexpr bool releases_lock = true;
    static Result<KeyPair> run(std::string_view secret_hex) { return KeyPair::from_secret_hex(secret_hex); }
};

struct PublicKeyHex {
    static constexpr auto signature = describe(kClass, "public_key");
    static constexpr auto claim = ClaimKind::Shared;
    static std::string run(const KeyPair& key) { return key.public_key_hex(); }
};

struct DidKey {
    static constexpr auto signature = describe(kClass, "did_key");
    static constexpr auto claim = ClaimKind::Shared;
    static std::string run(const KeyPair& key) { return credentials::did_key_for(key.public_key()); }
};

struct SignBytes {
    static constexpr auto signature = describe(kClass, "sign", "data");
    static constexpr bool releases_lock = true;
    static constexpr auto claim = ClaimKind::Shared;
    static Signature run(const KeyPair& key, Bytes data) { return {key.sign(engine::as_bytes(data.data))}; }
};

struct IssueCredential {
    static constexpr auto signature =
        describe(kClass, "issue_credential", "credential", "verification_method", "created");
    static constexpr bool releases_lock = true;
    static constexpr auto claim = ClaimKind::Shared;
    static Checked<std::string> run(const KeyPair& key, Text credential, Text verification_method, Text created) {
        return credentials::issue_credential(key, credential.utf8, verification_method.utf8, created.utf8);
    }
};

struct VerifyBytes {
    static constexpr auto signature = describe(nullptr, "verify_ed25519", "data", "signature", "public_key");
    static constexpr bool releases_lock = true;
    static bool run(Bytes data, Bytes signature, std::string_view public_key_hex) {
        engine::PublicKey key;
        engine::SignatureBytes bytes;
        if (signature.data.size() != bytes.size() || !engine::decode_hex_exact(public_key_hex, key)) return false;
        std::ranges::copy(engine::as_bytes(signature.data), bytes.begin());
        return engine::verify(engine::as_bytes(data.data), bytes, key);
    }
};

struct Canonicalize {
    static constexpr auto signature = describe(nullptr, "canonicalize", "text").with_summary(
        "The JSON Canonicalization Scheme's text of the one JSON value in text.");
    static constexpr bool releases_lock = true;
    static Checked<std::string> run(Text text) { return credentials::canonicalize(text.utf8); }
};

struct ReadCredentialProof {
    static constexpr auto signature = describe(nullptr, "read_credential_proof", "text").with_summary(
        "(issuer, verification method, created, validFrom, validUntil, context in proof, hash data, signature).");
    static constexpr bool releases_lock = true;
    static Checked<Reading> run(Text text) {
        auto reading = credentials::read_proof(text.utf8);
        if (!reading) return std::unexpected(std::move(reading.error()));
        return Reading{std::move(*reading)};
    }
};

struct DidKeyPublicKey {
    static constexpr auto signature = describe(nullptr, "did_key_public_key", "did").with_summary(
        "The public key hex of an Ed25519 did:key DID.");
    static Checked<std::string> run(Text did) {
        auto key = credentials::did_key_public_key(did.utf8);
        if (!key) return std::unexpected(std::move(key.error()));
        return engine::to_hex(*key);
    }
};

PyTypeObject* create_signing_key_class() {
    static PyMethodDef methods[] = {
        binding::method<SigningKeyClass, SignBytes>(),
        binding::method<SigningKeyClass, IssueCredential>(),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef properties[] = {
        binding::property<SigningKeyClass, PublicKeyHex>(),
        binding::property<SigningKeyClass, DidKey>(),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return binding::create_class({
        .name = kClass,
        .constructor_signature = "(secret_hex)",
        .basic_size = sizeof(binding::Instance<KeyPair>),
        .construct = binding::constructor_entry<SigningKeyClass, Construct>,
        .dealloc = binding::dealloc_instance<KeyPair>,
        .methods = methods,
        .properties = properties,
    });
}

PyTypeObject* SigningKeyClass::type() {
    static PyTypeObject* cell = nullptr;
    if (cell == nullptr) cell = create_signing_key_class();
    return cell;
}

PyMethodDef functions[] = {
    binding::function<VerifyBytes>(),
    binding::function<Canonicalize>(),
    binding::function<ReadCredentialProof>(),
    binding::function<DidKeyPublicKey>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_credentials(PyObject* module) {
    PyTypeObject* type = SigningKeyClass::type();
    if (type == nullptr || PyModule_AddFunctions(module, functions) < 0) return false;
    return PyModule_AddObjectRef(module, SigningKeyClass::name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace vek::record
