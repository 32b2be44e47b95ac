// did_vek._native: the signed-document checks for the did_vek package. Each function reads
// its arguments under the interpreter lock, gives the lock up for the whole parse, the
// record rules, the compact form and the signature check, and takes it back only to turn
// the result into Python objects. A refusal is a ValueError with a one-line message. Beside
// them, the one writer of the value form for values made of Python objects, which keeps the
// lock since it reads them.
#include <bit>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "binding/call.hpp"
#include "binding/instances.hpp"
#include "binding/interpreter_guard.hpp"
#include "document/timestamp.hpp"
#include "signed/history_check.hpp"
#include "record/record_forms.hpp"
#include "signed/py_value_form.hpp"
#include "signed/py_credentials.hpp"
#include "signed/py_did_map.hpp"
#include "signed/py_engine_key.hpp"
#include "signed/py_exported.hpp"
#include "signed/py_text.hpp"
#include "signed/py_values.hpp"
#include "signed/signed_check.hpp"
#include "view/multibase.hpp"

namespace vek::record {

// Any Python object, borrowed from the call's arguments.
struct AnyValue {
    PyObject* object;
};

// A str argument, or None.
struct OptionalText {
    std::optional<std::string_view> utf8;
};

// The versions of a history: the JSON text of an array, or a sequence of texts. The
// sequence's texts are copied: another thread may change the sequence meanwhile.
struct Versions {
    std::variant<std::string_view, std::vector<std::string>> texts;
};

// A version given as its text (copied like Versions) or as read from an export already.
using VersionSource = std::variant<std::string, std::shared_ptr<const ExportedVersion>>;

// Versions, each with the version it follows (none for a version 1).
struct FollowingPairs {
    std::vector<std::pair<std::optional<VersionSource>, VersionSource>> pairs;
};

namespace {

// A str without a UTF-8 form (a lone surrogate) cannot be a signed text: a ValueError
// naming the character, like any other refusal.
bool raise_lone_surrogate(PyObject* text) {
    PyErr_Clear();
    const Py_ssize_t length = PyUnicode_GetLength(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 code = PyUnicode_ReadChar(text, i);
        if (code >= 0xd800 && code <= 0xdfff) {
            PyErr_Format(PyExc_ValueError, "a text holds the lone surrogate U+%04X, which has no UTF-8 form",
                         static_cast<unsigned>(code));
            return false;
        }
    }
    PyErr_SetString(PyExc_ValueError, "a text has no UTF-8 form");
    return false;
}

std::optional<std::string_view> utf8_of(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "must be str, not %s", Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_lone_surrogate(object);
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace
}  // namespace vek::record

namespace vek::binding {

template <>
std::optional<record::Text> from_python(PyObject* object) {
    const auto text = record::utf8_of(object);
    if (!text) return std::nullopt;
    return record::Text{*text, object};
}

template <>
std::optional<record::AnyValue> from_python(PyObject* object) {
    return record::AnyValue{object};
}

template <>
std::optional<record::OptionalText> from_python(PyObject* object) {
    if (object == Py_None) return record::OptionalText{};
    const auto text = record::utf8_of(object);
    if (!text) return std::nullopt;
    return record::OptionalText{*text};
}

template <>
std::optional<record::Versions> from_python(PyObject* object) {
    if (PyUnicode_Check(object)) {
        const auto text = record::utf8_of(object);
        if (!text) return std::nullopt;
        return record::Versions{*text};
    }
    if (PyBytes_Check(object) || PyByteArray_Check(object) || !PySequence_Check(object)) {
        PyErr_Format(PyExc_TypeError, "must be a list of str or a str, not %s", Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    PyRef items = PyRef::steal(PySequence_Fast(object, "must be a list of str or a str"));
    if (!items) return std::nullopt;
    std::vector<std::string> texts;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    texts.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        // Converting a str runs no Python code, so the list of items cannot change meanwhile.
        const auto text = record::utf8_of(PySequence_Fast_GET_ITEM(items.get(), i));
        if (!text) return std::nullopt;
        texts.emplace_back(*text);
    }
    return record::Versions{std::move(texts)};
}

namespace {

std::optional<record::VersionSource> version_source(PyObject* object) {
    if (auto exported = record::exported_of(object)) return record::VersionSource(std::move(exported));
    const auto text = record::utf8_of(object);
    if (!text) return std::nullopt;
    return record::VersionSource(std::string(*text));
}

}  // namespace

template <>
std::optional<record::FollowingPairs> from_python(PyObject* object) {
    constexpr const char* kShape = "must be a list of (previous version or None, version)";
    PyRef items = PyRef::steal(PySequence_Fast(object, kShape));
    if (!items) return std::nullopt;
    record::FollowingPairs result;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    result.pairs.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, kShape);
            return std::nullopt;
        }
        PyObject* previous = PyTuple_GET_ITEM(pair, 0);
        std::optional<record::VersionSource> before;
        if (previous != Py_None && !(before = version_source(previous))) return std::nullopt;
        auto version = version_source(PyTuple_GET_ITEM(pair, 1));
        if (!version) return std::nullopt;
        result.pairs.emplace_back(std::move(before), std::move(*version));
    }
    return result;
}

}  // namespace vek::binding

namespace vek::record {
namespace {

using binding::describe;
using binding::PyRef;

// Builds a tuple of new references; null (with the error set) if any of them is null.
template <class... Objects>
PyObject* tuple_of(Objects... objects) {
    PyRef refs[] = {PyRef::steal(objects)...};
    for (const PyRef& ref : refs) {
        if (!ref) return nullptr;
    }
    PyObject* tuple = PyTuple_New(sizeof...(Objects));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < sizeof...(Objects); ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), refs[i].release());
    }
    return tuple;
}

PyObject* text(std::string_view value) { return binding::to_python(value); }

constexpr std::string_view kVersionsMember = "versions";

// Results, each with its conversion into Python objects.
struct ReadSigned {
    SignedReading reading;
    std::string value_form;
};
struct Verified {
    VerifiedReading verified;
    PyTypeObject* type;
    PyObject* text;
};
struct Parsed {
    json::JsonDocument document;
};
// Written when converted: the value is made of Python objects.
struct ValueFormOf {
    AnyValue value;
};
struct JsonLineOf {
    AnyValue value;
};
struct NextChecked {
    NextVerdict verdict;
    // The readings the verdict's views point into.
    std::optional<SignedReading> previous;
    SignedReading reading;
};
// The broken rules of each pair, in order.
struct PairsJudged {
    std::vector<unsigned> broken;
};
struct History {
    Versions versions;
    VerifiedHistory history;
    bool from_array = false;
};
// A registry's history answer: its versions verified, and the object they came in (a node of
// the history's first document).
struct HistoryAnswer {
    VerifiedHistory history;
    const json::Node* answer;
};

PyObject* to_python(ReadSigned&& result) {
    const SignedParts& parts = result.reading.parts;
    return tuple_of(value_to_python(*parts.record.node), value_to_python(*parts.proof.node), text(parts.compact),
                    text(result.value_form));
}

// Only the texts a caller reads at once: the document's dict is built from the text when
// first asked for, and most callers never ask.
PyObject* to_python(Verified&& result) {
    static binding::FieldNames<8> fields(
        {"did", "created", "updated", "proof_created", "key_id", "public_key", "key_derived", "_signed"});
    const auto* names = fields.get();
    if (names == nullptr) return nullptr;
    const SignedParts& parts = result.verified.reading.parts;
    PyRef values[] = {
        PyRef::steal(text(parts.record.id)),      PyRef::steal(text(parts.record.created)),
        PyRef::steal(text(parts.record.updated)), PyRef::steal(text(parts.proof.created)),
        PyRef::steal(text(parts.key_id())),       PyRef::steal(text(result.verified.public_key)),
        PyRef::steal(binding::to_python(result.verified.key_derived)), PyRef::borrow(result.text),
    };
    return binding::instance_with(result.type, *names, values);
}

PyObject* to_python(Parsed&& result) { return value_to_python(result.document.root); }

PyObject* to_python(ValueFormOf&& result) { return value_form_of(result.value.object); }

PyObject* to_python(JsonLineOf&& result) { return json_line_of(result.value.object); }

// The names of the rules in `broken`, a set of Rule bits, as a tuple.
PyObject* rule_names(unsigned broken) {
    PyRef names = PyRef::steal(PyTuple_New(std::popcount(broken)));
    if (!names) return nullptr;
    Py_ssize_t filled = 0;
    for (std::size_t bit = 0; bit < std::size(kRuleNames); ++bit) {
        if ((broken & (1u << bit)) == 0) continue;
        PyObject* name = text(kRuleNames[bit]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), filled++, name);
    }
    return names.release();
}

PyObject* to_python(NextChecked&& result) {
    return tuple_of(rule_names(result.verdict.broken), text(result.verdict.public_key));
}

PyObject* to_python(PairsJudged&& result) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(result.broken.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < result.broken.size(); ++i) {
        PyObject* names = rule_names(result.broken[i]);
        if (names == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), names);
    }
    return list.release();
}

// The rows of a verified history; with `laid_out`, each with its value form.
PyObject* history_rows(const VerifiedHistory& history, bool laid_out) {
    const auto& versions = history.versions;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(versions.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        const VerifiedVersion& version = versions[i];
        PyObject* signed_text = laid_out ? text(version.value_form) : Py_NewRef(Py_None);
        const Record& record = version.parts.record;
        PyObject* row = tuple_of(text(record.id), text(record.created), text(record.updated),
                                 binding::to_python(record.assertion.empty()), text(version.parts.key_id()),
                                 text(version.public_key), signed_text);
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return list.release();
}

PyObject* to_python(History&& result) { return history_rows(result.history, result.from_array); }

// The versions are not made into Python objects: they are what the answer is mostly made of.
PyObject* to_python(HistoryAnswer&& result) {
    PyRef others = PyRef::steal(PyDict_New());
    if (!others) return nullptr;
    for (const json::Member& member : result.answer->members) {
        if (member.name == kVersionsMember) continue;
        PyRef name = PyRef::steal(text(member.name));
        PyRef value = PyRef::steal(name ? value_to_python(member.value) : nullptr);
        if (!value || PyDict_SetItem(others.get(), name.get(), value.get()) != 0) return nullptr;
    }
    return tuple_of(history_rows(result.history, true), others.release());
}

// A checked value as the result type that converts it into Python objects.
template <class Result, class Value>
Checked<Result> as_result(Checked<Value>&& checked) {
    if (!checked) return std::unexpected(std::move(checked.error()));
    return Result{std::move(*checked)};
}

struct ParseJsonOp {
    static constexpr auto signature = describe(nullptr, "parse_json", "text").with_summary(
        "The value of text, exactly one JSON value with unique member names, as json.loads gives it.");
    static constexpr bool releases_lock = true;
    static Checked<Parsed> run(Text text) { return as_result<Parsed>(json::parse_strict(text.utf8)); }
};

struct ValueFormOp {
    static constexpr auto signature = describe(nullptr, "value_form", "value").with_summary(
        "value as json.dumps(value, ensure_ascii=False, sort_keys=True, indent=2) writes it; escaped to ASCII "
        "when a text holds a lone surrogate.");
    static ValueFormOf run(AnyValue value) { return {value}; }
};

struct JsonLineOp {
    static constexpr auto signature = describe(nullptr, "json_line", "value").with_summary(
        "value as json.dumps(value, ensure_ascii=False).encode() writes it, for a value with str keys only.");
    static JsonLineOf run(AnyValue value) { return {value}; }
};

struct ReadSignedOp {
    static constexpr auto signature = describe(nullptr, "read_signed", "text").with_summary(
        "The (document, proof, compact form, value form) of a signed document that obeys the record rules.");
    static constexpr bool releases_lock = true;
    static Checked<ReadSigned> run(Text text) {
        auto reading = read_signed(text.utf8);
        if (!reading) return std::unexpected(std::move(reading.error()));
        std::string value_form = signed_value_form(reading->parts.record, reading->parts.proof);
        return ReadSigned{std::move(*reading), std::move(value_form)};
    }
};

struct VerifySignedOp {
    static constexpr auto signature = describe(nullptr, "verify_signed", "result_type", "text").with_summary(
        "A result_type with the did, created, updated, proof_created, key_id, public_key, key_derived and _signed of "
        "a signed document that verifies on its own.");
    static constexpr bool releases_lock = true;
    static Checked<Verified> run(binding::ResultType result_type, Text text) {
        auto verified = record::verify_signed(text.utf8);
        if (!verified) return std::unexpected(std::move(verified.error()));
        return Verified{std::move(*verified), result_type.type, text.object};
    }
};

struct SignDocumentOp {
    static constexpr auto signature = describe(nullptr, "sign_document", "engine", "text", "key_id").with_summary(
        "The signed document of the record in text, signed now by the engine's key as key_id of its DID.");
    static constexpr bool releases_lock = true;
    // The engine is taken by reference: its claim is released once the lock is back.
    static Checked<std::string> run(const EngineKey& engine, Text text, std::string_view key_id) {
        return sign_record(text.utf8, key_id, document::current_timestamp(), *engine.key);
    }
};

struct VerifyHistoryOp {
    static constexpr auto signature = describe(nullptr, "verify_history", "versions").with_summary(
        "[(did, created, updated, deactivates, key id, public key, value form or None)] of a valid history.");
    static constexpr bool releases_lock = true;
    static Checked<History> run(Versions versions) {
        // The result keeps the copied texts: the versions read are views into them.
        const bool from_array = std::holds_alternative<std::string_view>(versions.texts);
        History result{std::move(versions), {}, from_array};
        const auto& texts = result.versions.texts;
        auto history = result.from_array ? verify_history_array(std::get<std::string_view>(texts))
                                         : record::verify_history(std::get<std::vector<std::string>>(texts));
        if (!history) return std::unexpected(std::move(history.error()));
        result.history = std::move(*history);
        return result;
    }
};

struct VerifyHistoryAnswerOp {
    static constexpr auto signature = describe(nullptr, "verify_history_answer", "text").with_summary(
        "(verify_history's rows, each with its value form; {the other members}) of a registry's history answer, a "
        "JSON object whose \"versions\" is an array of signed documents.");
    static constexpr bool releases_lock = true;
    static Checked<HistoryAnswer> run(Text text) {
        auto parsed = json::parse_strict(text.utf8);
        if (!parsed) return refuse("the registry's answer: " + parsed.error().message);
        auto json = std::make_unique<json::JsonDocument>(std::move(*parsed));
        const json::Node& answer = json->root;
        const json::Node* versions = nullptr;
        if (answer.kind == json::Node::Kind::Object) {
            for (const json::Member& member : answer.members) {
                if (member.name == kVersionsMember) versions = &member.value;
            }
        }
        if (versions == nullptr || versions->kind != json::Node::Kind::Array) {
            return refuse("the registry's history has no array of signed documents");
        }
        auto history = verify_history_elements(std::move(json), *versions, text.utf8);
        if (!history) return std::unexpected(std::move(history.error()));
        return HistoryAnswer{std::move(*history), &answer};
    }
};

// The refusal of a version's predecessor, said to be the predecessor's.
std::unexpected<Refusal> previous_unreadable(const Refusal& refusal) {
    return refuse("the previous version: " + refusal.message);
}

struct CheckNextOp {
    static constexpr auto signature = describe(nullptr, "check_next", "previous", "text").with_summary(
        "(broken rules, public key): the history's rules for text after the signed text previous (None: as version 1).");
    static constexpr bool releases_lock = true;
    static Checked<NextChecked> run(OptionalText previous, Text text) {
        NextChecked result;
        if (previous.utf8) {
            auto reading = read_signed(*previous.utf8);
            if (!reading) return previous_unreadable(reading.error());
            result.previous = std::move(*reading);
        }
        auto reading = read_signed(text.utf8);
        if (!reading) return std::unexpected(std::move(reading.error()));
        result.reading = std::move(*reading);
        result.verdict = judge_next(result.previous ? &result.previous->parts.record : nullptr, result.reading.parts);
        return result;
    }
};

// The parts of a version: read now from its text (kept in `reading`), or as the export read them.
Checked<const SignedParts*> parts_of(const VersionSource& source, std::optional<SignedReading>& reading) {
    if (const auto* exported = std::get_if<std::shared_ptr<const ExportedVersion>>(&source)) {
        return &*(*exported)->parts;
    }
    auto read = read_signed(std::get<std::string>(source));
    if (!read) return std::unexpected(std::move(read.error()));
    return &reading.emplace(std::move(*read)).parts;
}

struct CheckPairsOp {
    static constexpr auto signature = describe(nullptr, "check_pairs", "pairs").with_summary(
        "[broken rules] of each (previous or None, version), each a text or an ExportedVersion: check_next of many "
        "versions in one call.");
    static constexpr bool releases_lock = true;
    // One call for many: threads that judge versions side by side take the interpreter lock
    // back once per page, not once per version.
    static Checked<PairsJudged> run(FollowingPairs following) {
        PairsJudged result;
        result.broken.reserve(following.pairs.size());
        for (const auto& [previous, version] : following.pairs) {
            std::optional<SignedReading> previous_reading, reading;
            const Record* before = nullptr;
            if (previous) {
                auto parts = parts_of(*previous, previous_reading);
                if (!parts) return previous_unreadable(parts.error());
                before = &(*parts)->record;
            }
            auto parts = parts_of(version, reading);
            if (!parts) return std::unexpected(std::move(parts.error()));
            result.broken.push_back(judge_next(before, **parts).broken);
        }
        return result;
    }
};

struct CheckTimestampOp {
    static constexpr auto signature = describe(nullptr, "check_timestamp", "text", "where").with_summary(
        "None if text is a real UTC time YYYY-MM-DDThh:mm:ssZ; else ValueError naming `where`.");
    static Checked<void> run(Text text, Text where) { return check_timestamp(text.utf8, where.utf8); }
};

struct MultibaseOp {
    static constexpr auto signature = describe(nullptr, "multibase_base58btc", "hex").with_summary(
        "\"z\" and the base58btc of the bytes written as lower-case hex; else ValueError.");
    static Checked<std::string> run(Text hex) { return view::multibase_of_hex(hex.utf8); }
};

PyMethodDef functions[] = {
    binding::function<ParseJsonOp>(),     binding::function<ValueFormOp>(),     binding::function<JsonLineOp>(),
    binding::function<ReadSignedOp>(),
    binding::function<VerifySignedOp>(),
    binding::function<SignDocumentOp>(),  binding::function<VerifyHistoryOp>(), binding::function<VerifyHistoryAnswerOp>(),
    binding::function<CheckNextOp>(),     binding::function<CheckPairsOp>(),    binding::function<CheckTimestampOp>(),
    binding::function<MultibaseOp>(),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "did_vek._native", "", 0, functions, nullptr, nullptr, nullptr, nullptr,
};

// The module keeps process-wide Python objects (the interned member names).
binding::InterpreterGuard interpreter_guard{"did_vek._native"};

PyObject* initialise() {
    if (!interpreter_guard.claim() || !find_engine_class()) return nullptr;
    binding::PyRef module = binding::PyRef::steal(PyModule_Create(&module_definition));
    if (!module || !add_credentials(module.get()) || !tlog::add_did_map(module.get()) ||
        !add_exported(module.get())) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace vek::record

PyMODINIT_FUNC PyInit__native() {
    return vek::binding::guarded([] { return vek::record::initialise(); });
}
