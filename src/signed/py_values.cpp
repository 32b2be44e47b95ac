#include "signed/py_values.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "binding/conversion.hpp"
#include "record/schema.hpp"

namespace vek::record {
namespace {

using binding::PyRef;
using json::Member;
using json::Node;

// Every member name a record may hold and the texts every document repeats (the schema's,
// each once), as interned strings created on first use (under the interpreter lock) and kept
// for the life of the process: each document would otherwise create them anew.
struct Texts {
    std::array<std::string_view, 32> texts{};
    std::size_t size = 0;

    template <std::size_t N>
    constexpr Texts& add(const std::array<std::string_view, N>& more) {
        for (const std::string_view text : more) {
            if (std::ranges::find(texts.begin(), texts.begin() + size, text) == texts.begin() + size) texts[size++] = text;
        }
        return *this;
    }
};
constexpr Texts kSchemaTexts = Texts()
                                   .add(kDocumentMembers)
                                   .add(kMethodMembers)
                                   .add(kServiceMembers)
                                   .add(kProofMembers)
                                   .add(kWrapperMembers)
                                   .add(kContexts)
                                   .add(std::array{kKeyType, kProofType});
constexpr auto kVocabulary = [] {
    std::array<std::string_view, kSchemaTexts.size> texts{};
    std::ranges::copy_n(kSchemaTexts.texts.begin(), texts.size(), texts.begin());
    return texts;
}();

// Bit n set when a text of the vocabulary has n bytes: most other texts are told apart by
// their length alone.
constexpr std::uint64_t kLengths = [] {
    std::uint64_t lengths = 0;
    for (const std::string_view text : kVocabulary) lengths |= std::uint64_t{1} << text.size();
    return lengths;
}();

PyObject* shared_text(std::string_view text) {
    static std::array<PyObject*, kVocabulary.size()> interned{};
    if (text.size() >= 64 || (kLengths >> text.size() & 1) == 0) return binding::to_python(text);
    for (std::size_t i = 0; i < kVocabulary.size(); ++i) {
        if (kVocabulary[i].size() != text.size() || kVocabulary[i] != text) continue;
        if (interned[i] == nullptr) {
            PyObject* object = binding::to_python(text);
            if (object == nullptr) return nullptr;
            PyUnicode_InternInPlace(&object);
            interned[i] = object;
        }
        return Py_NewRef(interned[i]);
    }
    return binding::to_python(text);
}

// A number as json.loads reads it: an int without fraction or exponent, else a float.
PyObject* number_to_python(std::string_view spelling) {
    const std::string text(spelling);
    if (text.find_first_of(".eE") == std::string::npos) return PyLong_FromString(text.c_str(), nullptr, 10);
    const double value = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
    if (value == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(value);
}

}  // namespace

PyObject* value_to_python(const Node& node) {
    switch (node.kind) {
        case Node::Kind::Null: Py_RETURN_NONE;
        case Node::Kind::False: Py_RETURN_FALSE;
        case Node::Kind::True: Py_RETURN_TRUE;
        case Node::Kind::Number: return number_to_python(node.text);
        case Node::Kind::String: return shared_text(node.text);
        case Node::Kind::Array: {
            PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(node.elements.size())));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < node.elements.size(); ++i) {
                PyObject* element = value_to_python(node.elements[i]);
                if (element == nullptr) return nullptr;
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), element);
            }
            return list.release();
        }
        case Node::Kind::Object: {
            PyRef dict = PyRef::steal(PyDict_New());
            if (!dict) return nullptr;
            for (const Member& member : node.members) {
                PyRef name = PyRef::steal(shared_text(member.name));
                if (!name) return nullptr;
                PyRef value = PyRef::steal(value_to_python(member.value));
                if (!value || PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) return nullptr;
            }
            return dict.release();
        }
    }
    Py_RETURN_NONE;
}

}  // namespace vek::record
