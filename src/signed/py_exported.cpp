// read_export copies its lines under the interpreter lock, reads them all without it, and
// takes it back only to give each version's few values to Python. A version whose signed
// document was read is handed over whole, as an ExportedVersion, so that check_pairs judges
// it without reading its text again.
#include "signed/py_exported.hpp"

#include <optional>
#include <string>
#include <vector>

#include "binding/call.hpp"

namespace vek::record {

// The lines of an export, copied; none for a str without a UTF-8 form, which no strict
// reader takes.
struct ExportLines {
    std::vector<std::optional<std::string>> lines;
};

}  // namespace vek::record

namespace vek::binding {

template <>
std::optional<record::ExportLines> from_python(PyObject* object) {
    PyRef items = PyRef::steal(PySequence_Fast(object, "must be a list of str"));
    if (!items) return std::nullopt;
    record::ExportLines result;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    result.lines.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* line = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(line)) {
            PyErr_Format(PyExc_TypeError, "must be a list of str, not of %s", Py_TYPE(line)->tp_name);
            return std::nullopt;
        }
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(line, &length);
        if (data == nullptr) {
            PyErr_Clear();
            result.lines.emplace_back();
            continue;
        }
        result.lines.emplace_back(std::in_place, data, static_cast<std::size_t>(length));
    }
    return result;
}

}  // namespace vek::binding

namespace vek::record {
namespace {

using binding::describe;
using binding::PyRef;
using State = std::shared_ptr<const ExportedVersion>;

struct ExportedClass {
    using State = record::State;
    static constexpr const char* name = "ExportedVersion";
    static PyTypeObject* type();
};

constexpr const char* kClass = ExportedClass::name;

struct DocumentHash {
    tlog::Hash hash;
};
struct ValueForm {
    std::string text;
};
// Each line's version in order; null for a line that strict JSON does not read as one.
struct ExportRead {
    std::vector<State> versions;
};

PyObject* to_python(DocumentHash&& result) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(result.hash.data()),
                                     static_cast<Py_ssize_t>(result.hash.size()));
}

PyObject* to_python(ValueForm&& result) { return binding::to_python(result.text); }

PyObject* integer(std::int64_t value) { return PyLong_FromLongLong(value); }

// (seq, logIndex, did, versionId, ExportedVersion or None)
PyObject* row_of(const State& version) {
    PyRef fields[] = {PyRef::steal(integer(version->seq)), PyRef::steal(integer(version->log_index)),
                      PyRef::steal(binding::to_python(version->did)),
                      PyRef::steal(binding::to_python(version->version_id)), PyRef::borrow(Py_None)};
    if (version->parts) {
        PyTypeObject* type = ExportedClass::type();
        fields[4] = PyRef::steal(type == nullptr ? nullptr : binding::new_instance(type, State(version)));
    }
    for (const PyRef& field : fields) {
        if (!field) return nullptr;
    }
    return PyTuple_Pack(5, fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(), fields[4].get());
}

PyObject* to_python(ExportRead&& result) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(result.versions.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < result.versions.size(); ++i) {
        PyObject* row = result.versions[i] ? row_of(result.versions[i]) : Py_NewRef(Py_None);
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return list.release();
}

struct ReadExportOp {
    static constexpr auto signature = describe(nullptr, "read_export", "lines").with_summary(
        "[(seq, logIndex, did, versionId, ExportedVersion or None) or None] of each export line: None for a line "
        "strict JSON does not read as such a row, no ExportedVersion when its signed document is none of did.");
    static constexpr bool releases_lock = true;
    static ExportRead run(ExportLines lines) {
        ExportRead result;
        result.versions.reserve(lines.lines.size());
        for (auto& line : lines.lines) {
            result.versions.push_back(line ? read_exported_version(std::move(*line)) : nullptr);
        }
        return result;
    }
};

// A refusal to create one from Python: only read_export makes them.
struct Construct {
    static constexpr auto signature = describe(kClass, "__new__");
    static Checked<State> run() { return refuse("an ExportedVersion is made by read_export only"); }
};

struct DocumentHashOp {
    static constexpr auto signature = describe(kClass, "document_hash");
    static constexpr auto claim = binding::ClaimKind::Shared;
    static DocumentHash run(const State& version) { return {version->document_hash}; }
};

struct ValueFormOp {
    static constexpr auto signature = describe(kClass, "value_form");
    static constexpr auto claim = binding::ClaimKind::Shared;
    static ValueForm run(const State& version) { return {exported_value_form(*version)}; }
};

PyTypeObject* create_exported_class() {
    static PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};
    static PyGetSetDef properties[] = {
        binding::property<ExportedClass, DocumentHashOp>(),
        binding::property<ExportedClass, ValueFormOp>(),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return binding::create_class({
        .name = kClass,
        .constructor_signature = "()",
        .basic_size = sizeof(binding::Instance<State>),
        .construct = binding::constructor_entry<ExportedClass, Construct>,
        .dealloc = binding::dealloc_instance<State>,
        .methods = methods,
        .properties = properties,
    });
}

PyTypeObject* ExportedClass::type() {
    static PyTypeObject* cell = nullptr;
    if (cell == nullptr) cell = create_exported_class();
    return cell;
}

PyMethodDef functions[] = {binding::function<ReadExportOp>(), {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool add_exported(PyObject* module) {
    PyTypeObject* type = ExportedClass::type();
    return type != nullptr && PyModule_AddObjectRef(module, ExportedClass::name, reinterpret_cast<PyObject*>(type)) == 0 &&
           PyModule_AddFunctions(module, functions) == 0;
}

std::shared_ptr<const ExportedVersion> exported_of(PyObject* object) {
    PyTypeObject* type = ExportedClass::type();
    if (type == nullptr || Py_TYPE(object) != type) {
        PyErr_Clear();
        return nullptr;
    }
    return binding::instance_of<State>(object)->state;
}

}  // namespace vek::record
