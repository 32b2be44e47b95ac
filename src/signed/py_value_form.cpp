#include "signed/py_value_form.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/conversion.hpp"
#include "json/writer.hpp"

namespace vek::record {
namespace {

using binding::PyRef;

// Walks a Python value into the writer. Nothing it calls runs Python code, so no container
// can change while it is read and borrowed references stay valid.
class ValueWriter {
public:
    // With `surrogates`, texts are read with their lone surrogates kept as three bytes each,
    // for a writer that escapes them.
    // With `sorted`, members are written sorted by name, else in the dict's order.
    ValueWriter(json::Writer& out, bool surrogates, bool sorted = true)
        : out_(out), surrogates_(surrogates), sorted_(sorted) {}

    // False with the interpreter's error set; a lone surrogate read without `surrogates`
    // leaves UnicodeEncodeError.
    bool write(PyObject* value) {
        if (value == Py_None) return literal("null");
        if (value == Py_True) return literal("true");
        if (value == Py_False) return literal("false");
        if (PyUnicode_Check(value)) {
            const auto text = utf8(value);
            if (!text) return false;
            out_.string(*text);
            return true;
        }
        // The base types' own spellings, as json.dumps writes subclasses too.
        if (PyLong_Check(value)) return spelling(value, PyLong_Type.tp_repr);
        if (PyFloat_Check(value)) {
            const double number = PyFloat_AS_DOUBLE(value);
            if (std::isnan(number)) return literal("NaN");
            if (std::isinf(number)) return literal(number > 0 ? "Infinity" : "-Infinity");
            return spelling(value, PyFloat_Type.tp_repr);
        }
        const bool list = PyList_Check(value), tuple = PyTuple_Check(value), dict = PyDict_Check(value);
        if (!list && !tuple && !dict) {
            PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(value)));
            if (name) PyErr_Format(PyExc_TypeError, "Object of type %U is not JSON serializable", name.get());
            return false;
        }
        if (Py_EnterRecursiveCall(" while encoding a JSON object") != 0) return false;
        const bool written = dict ? write_object(value) : write_array(value);
        Py_LeaveRecursiveCall();
        return written;
    }

private:
    bool literal(std::string_view text) {
        out_.literal(text);
        return true;
    }

    bool spelling(PyObject* number, reprfunc repr) {
        PyRef text = PyRef::steal(repr(number));
        if (!text) return false;
        const auto digits = binding::text_from_python(text.get());
        if (!digits) return false;
        out_.literal(*digits);
        return true;
    }

    std::optional<std::string_view> utf8(PyObject* text) {
        if (!surrogates_) return binding::text_from_python(text);
        PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
        if (!bytes) return std::nullopt;
        const std::string_view view(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
        kept_.push_back(std::move(bytes));
        return view;
    }

    bool write_array(PyObject* sequence) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
        PyObject** items = PySequence_Fast_ITEMS(sequence);
        out_.begin_array();
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!write(items[i])) return false;
        }
        out_.end_array();
        return true;
    }

    bool write_object(PyObject* dict) {
        // Sorted by the bytes of the names, which is the order of their code points, as in
        // UTF-8 (lone surrogates included) the bytes keep it.
        std::vector<std::pair<std::string_view, PyObject*>> members;
        members.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
        Py_ssize_t position = 0;
        PyObject *name = nullptr, *value = nullptr;
        while (PyDict_Next(dict, &position, &name, &value)) {
            if (!PyUnicode_Check(name)) {
                PyErr_Format(PyExc_TypeError, "keys must be str, not %.100s", Py_TYPE(name)->tp_name);
                return false;
            }
            const auto text = utf8(name);
            if (!text) return false;
            members.emplace_back(*text, value);
        }
        if (sorted_) std::ranges::sort(members, {}, &std::pair<std::string_view, PyObject*>::first);
        out_.begin_object();
        for (const auto& [member_name, member_value] : members) {
            out_.name(member_name);
            if (!write(member_value)) return false;
        }
        out_.end_object();
        return true;
    }

    json::Writer& out_;
    bool surrogates_;
    bool sorted_;
    // The encoded texts that views point into.
    std::vector<PyRef> kept_;
};

bool write_value_form(std::string& out, PyObject* value, bool surrogates) {
    json::Writer writer(out, json::Layout::Pretty, 0, surrogates ? json::Escaping::Ascii : json::Escaping::Engine);
    return ValueWriter(writer, surrogates).write(value);
}

}  // namespace

PyObject* json_line_of(PyObject* value) {
    std::string text;
    {
        json::Writer writer(text, json::Layout::Spaced);
        if (!ValueWriter(writer, false, false).write(value)) return nullptr;
    }
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* value_form_of(PyObject* value) {
    std::string text;
    if (!write_value_form(text, value, false)) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
        PyErr_Clear();
        text.clear();
        if (!write_value_form(text, value, true)) return nullptr;
    }
    return binding::to_python(std::string_view(text));
}

}  // namespace vek::record
