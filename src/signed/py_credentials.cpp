// Python entry points of the credential operations. Cryptographic work and the parsing of a
// credential run without the interpreter lock; the SigningKey's seed lives only in its native
// state, which wipes it when the object goes (engine::KeyPair).
#include "signed/py_credentials.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "binding/call.hpp"
#include "binding/instances.hpp"
#include "credentials/canonical_json.hpp"
#include "credentials/credential_check.hpp"
#include "credentials/did_key.hpp"
#include "credentials/eddsa_jcs.hpp"
#include "credentials/issuer_keys.hpp"
#include "engine/hex.hpp"
#include "engine/verification.hpp"
#include "json/strings.hpp"
#include "signed/py_text.hpp"
#include "signed/py_values.hpp"

namespace vek::record {

// A bytes argument. Bytes cannot change, and the argument lives until the call returns, so
// the view stays valid while the lock is given up.
struct Bytes {
    std::string_view data;
};

// The verifier's clock: microseconds since 1970, as an int.
struct Moment {
    std::int64_t microseconds;
};

// One version of a known issuer's history: (DID, "updated", version id, {verification
// method: public key hex} of its assertion keys).
struct IssuerVersionRow {
    std::string did;
    std::string updated;
    std::string version_id;
    std::vector<std::pair<std::string, std::string>> assertion_keys;
};

struct IssuerVersionRows {
    std::vector<IssuerVersionRow> rows;
};

// An IssuerKeys argument, or None. The table never changes once built and its object is an
// argument of the call, so it is read without a claim while the lock is given up.
struct KnownIssuers {
    const credentials::IssuerKeys* table = nullptr;
};

PyTypeObject* issuer_keys_type();

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

template <>
std::optional<record::Moment> from_python(PyObject* object) {
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "must be int, not %s", Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    return record::Moment{value};
}

namespace {

bool copy_text(PyObject* object, std::string& out) {
    const auto text = text_from_python(object);
    if (text) out.assign(*text);
    return text.has_value();
}

bool read_row(PyObject* item, record::IssuerVersionRow& row) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4 || !PyDict_Check(PyTuple_GET_ITEM(item, 3))) {
        PyErr_SetString(PyExc_TypeError, "must be tuples of (did, updated, version id, dict of assertion keys)");
        return false;
    }
    if (!copy_text(PyTuple_GET_ITEM(item, 0), row.did) || !copy_text(PyTuple_GET_ITEM(item, 1), row.updated) ||
        !copy_text(PyTuple_GET_ITEM(item, 2), row.version_id)) {
        return false;
    }
    PyObject* keys = PyTuple_GET_ITEM(item, 3);
    PyObject *method = nullptr, *key = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(keys, &at, &method, &key)) {
        auto& pair = row.assertion_keys.emplace_back();
        if (!copy_text(method, pair.first) || !copy_text(key, pair.second)) return false;
    }
    return true;
}

}  // namespace

template <>
std::optional<record::IssuerVersionRows> from_python(PyObject* object) {
    const PyRef items = PyRef::steal(PySequence_Fast(object, "must be a sequence of issuer versions"));
    if (!items) return std::nullopt;
    record::IssuerVersionRows rows;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    rows.rows.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!read_row(PySequence_Fast_GET_ITEM(items.get(), i), rows.rows[static_cast<std::size_t>(i)])) {
            return std::nullopt;
        }
    }
    return rows;
}

template <>
std::optional<record::KnownIssuers> from_python(PyObject* object) {
    if (object == Py_None) return record::KnownIssuers{};
    PyTypeObject* type = record::issuer_keys_type();
    if (type == nullptr) return std::nullopt;
    if (!PyObject_TypeCheck(object, type)) {
        raise_conversion_error(object, "IssuerKeys");
        return std::nullopt;
    }
    return record::KnownIssuers{&instance_of<credentials::IssuerKeys>(object)->state};
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

// A tuple of `items`, or nullptr when one of them could not be made.
PyObject* tuple_of(std::span<binding::PyRef> items) {
    for (const binding::PyRef& item : items) {
        if (!item) return nullptr;
    }
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple;
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
    return tuple_of(items);
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

struct Verdict {
    credentials::CredentialVerdict verdict;
    PyTypeObject* type;
    PyObject* text;
};

// An instance of the result class with the verdict's fields and the credential's text; or,
// for a did:vek issuer whose history is still to be resolved, the issuer's DID.
PyObject* to_python(Verdict&& result) {
    const credentials::CredentialVerdict& v = result.verdict;
    if (!v.public_key) return binding::to_python(std::string_view(v.did));
    static binding::FieldNames<9> fields({"did", "verification_method", "key_id", "public_key", "version_id", "current",
                                          "created", "standard_proof", "text"});
    const auto* names = fields.get();
    if (names == nullptr) return nullptr;
    binding::PyRef values[] = {
        binding::PyRef::steal(binding::to_python(std::string_view(v.did))),
        binding::PyRef::steal(binding::to_python(std::string_view(v.verification_method))),
        binding::PyRef::steal(binding::to_python(std::string_view(v.key_id))),
        binding::PyRef::steal(binding::to_python(std::string_view(engine::to_hex(*v.public_key)))),
        binding::PyRef::steal(text_or_none(v.version_id)),
        binding::PyRef::steal(binding::to_python(v.current)),
        binding::PyRef::steal(text_or_none(v.created)),
        binding::PyRef::steal(binding::to_python(v.standard_proof)),
        binding::PyRef::borrow(result.text),
    };
    return binding::instance_with(result.type, *names, values);
}

struct CheckCredential {
    static constexpr auto signature =
        describe(nullptr, "check_credential", "result_type", "text", "now", "known").with_summary(
            "The verdict on a secured credential at now (microseconds since 1970) as a result_type, did:vek keys from "
            "known; the issuer's DID when its history is needed.");
    static constexpr bool releases_lock = true;
    static Checked<Verdict> run(binding::ResultType result_type, Text text, Moment now, KnownIssuers known) {
        auto verdict = credentials::check_credential(text.utf8, now.microseconds, known.table);
        if (!verdict) return std::unexpected(std::move(verdict.error()));
        return Verdict{std::move(*verdict), result_type.type, text.object};
    }
};

struct IssuerKeysClass {
    using State = credentials::IssuerKeys;
    static constexpr const char* name = "IssuerKeys";
    static PyTypeObject* type();
};

struct BuildIssuerKeys {
    static constexpr auto signature = describe(IssuerKeysClass::name, "__new__", "versions");
    static Checked<credentials::IssuerKeys> run(IssuerVersionRows versions) {
        credentials::IssuerKeys table;
        for (IssuerVersionRow& row : versions.rows) {
            std::vector<std::pair<std::string, engine::PublicKey>> keys;
            keys.reserve(row.assertion_keys.size());
            for (auto& [method, hex] : row.assertion_keys) {
                engine::PublicKey key;
                if (!engine::decode_hex_exact(hex, key)) {
                    return refuse("the key of " + json::quoted(method) + " is not 64 hex digits");
                }
                keys.emplace_back(std::move(method), key);
            }
            auto added = table.add_version(row.did, row.updated, std::move(row.version_id), std::move(keys));
            if (!added) return std::unexpected(std::move(added.error()));
        }
        return table;
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

PyTypeObject* IssuerKeysClass::type() {
    static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
    static PyTypeObject* cell = nullptr;
    if (cell == nullptr) {
        cell = binding::create_class({
            .name = IssuerKeysClass::name,
            .constructor_signature = "(versions)",
            .basic_size = sizeof(binding::Instance<credentials::IssuerKeys>),
            .construct = binding::constructor_entry<IssuerKeysClass, BuildIssuerKeys>,
            .dealloc = binding::dealloc_instance<credentials::IssuerKeys>,
            .methods = no_methods,
            .properties = nullptr,
        });
    }
    return cell;
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
    binding::function<CheckCredential>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* issuer_keys_type() { return IssuerKeysClass::type(); }

bool add_credentials(PyObject* module) {
    PyTypeObject* type = SigningKeyClass::type();
    PyTypeObject* issuer_keys = IssuerKeysClass::type();
    if (type == nullptr || issuer_keys == nullptr || PyModule_AddFunctions(module, functions) < 0) return false;
    return PyModule_AddObjectRef(module, SigningKeyClass::name, reinterpret_cast<PyObject*>(type)) == 0 &&
           PyModule_AddObjectRef(module, IssuerKeysClass::name, reinterpret_cast<PyObject*>(issuer_keys)) == 0;
}

}  // namespace vek::record
