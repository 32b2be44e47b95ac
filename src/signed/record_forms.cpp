#include "signed/record_forms.hpp"

#include <array>
#include <span>
#include <utility>

#include "signed/json_text.hpp"

namespace vek::record {
namespace {

// The compact form: members in declared order.

void append_name(std::string& out, std::string_view name) {
    out += '"';
    out += name;
    out += "\":";
}

void append_strings(std::string& out, std::string_view name, const std::vector<std::string_view>& texts) {
    if (texts.empty()) return;
    out += ',';
    append_name(out, name);
    out += '[';
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) out += ',';
        append_string(out, texts[i]);
    }
    out += ']';
}

template <class Entry, std::size_t N>
using MemberOrder = std::array<std::pair<std::string_view, std::string_view Entry::*>, N>;

template <class Entry, std::size_t N>
void append_entries(std::string& out, std::string_view name, const std::vector<Entry>& entries,
                    const MemberOrder<Entry, N>& members) {
    if (entries.empty()) return;
    out += ',';
    append_name(out, name);
    out += '[';
    for (std::size_t i = 0; i < entries.size(); ++i) {
        out += i > 0 ? ",{" : "{";
        for (std::size_t m = 0; m < N; ++m) {
            if (m > 0) out += ',';
            append_name(out, members[m].first);
            append_string(out, entries[i].*members[m].second);
        }
        out += '}';
    }
    out += ']';
}

constexpr MemberOrder<MethodEntry, 4> kMethodOrder = {{
    {"id", &MethodEntry::id},
    {"type", &MethodEntry::type},
    {"controller", &MethodEntry::controller},
    {"publicKeyHex", &MethodEntry::public_key_hex},
}};
constexpr MemberOrder<ServiceEntry, 3> kServiceOrder = {{
    {"id", &ServiceEntry::id},
    {"type", &ServiceEntry::type},
    {"serviceEndpoint", &ServiceEntry::endpoint},
}};

// The same members sorted by name, for the value form.
constexpr MemberOrder<MethodEntry, 4> kMethodSorted = {{
    {"controller", &MethodEntry::controller},
    {"id", &MethodEntry::id},
    {"publicKeyHex", &MethodEntry::public_key_hex},
    {"type", &MethodEntry::type},
}};
constexpr MemberOrder<ServiceEntry, 3> kServiceSorted = {{
    {"id", &ServiceEntry::id},
    {"serviceEndpoint", &ServiceEntry::endpoint},
    {"type", &ServiceEntry::type},
}};

std::size_t text_size(const Record& record) {
    std::size_t size = 200 + record.id.size() + record.controller.value_or("").size();
    for (const auto& method : record.methods) size += 120 + method.id.size() + method.controller.size();
    for (const auto& key : record.authentication) size += 4 + key.size();
    for (const auto& key : record.assertion) size += 4 + key.size();
    for (const auto& service : record.services) {
        size += 50 + service.id.size() + service.type.size() + service.endpoint.size();
    }
    return size;
}

// The value form: an object's members one per line, sorted by name, each at its level.
class PrettyObject {
public:
    PrettyObject(std::string& out, int level) : out_(out), level_(level) { out_ += '{'; }
    ~PrettyObject() {
        out_ += '\n';
        indent(level_);
        out_ += '}';
    }
    PrettyObject(const PrettyObject&) = delete;
    PrettyObject& operator=(const PrettyObject&) = delete;

    // Writes the member's name; the caller writes its value.
    std::string& member(std::string_view name) {
        out_ += first_ ? "\n" : ",\n";
        first_ = false;
        indent(level_ + 1);
        append_string(out_, name);
        out_ += ": ";
        return out_;
    }

    void text(std::string_view name, std::string_view value) { append_string(member(name), value); }

    void texts(std::string_view name, std::span<const std::string_view> values) {
        member(name) += '[';
        for (std::size_t i = 0; i < values.size(); ++i) {
            out_ += i == 0 ? "\n" : ",\n";
            indent(level_ + 2);
            append_string(out_, values[i]);
        }
        out_ += '\n';
        indent(level_ + 1);
        out_ += ']';
    }

    template <class Entry, std::size_t N>
    void entries(std::string_view name, const std::vector<Entry>& values, const MemberOrder<Entry, N>& order) {
        member(name) += '[';
        for (std::size_t i = 0; i < values.size(); ++i) {
            out_ += i == 0 ? "\n" : ",\n";
            indent(level_ + 2);
            PrettyObject entry(out_, level_ + 2);
            for (const auto& [member_name, field] : order) entry.text(member_name, values[i].*field);
        }
        out_ += '\n';
        indent(level_ + 1);
        out_ += ']';
    }

private:
    void indent(int level) { out_.append(static_cast<std::size_t>(2 * level), ' '); }

    std::string& out_;
    int level_;
    bool first_ = true;
};

}  // namespace

std::string compact_record_form(const Record& record) {
    std::string out;
    out.reserve(text_size(record));
    out += '{';
    append_name(out, "@context");
    out += '[';
    for (std::size_t i = 0; i < kContexts.size(); ++i) {
        if (i > 0) out += ',';
        append_string(out, kContexts[i]);
    }
    out += "],";
    append_name(out, "id");
    append_string(out, record.id);
    if (record.controller) {
        out += ',';
        append_name(out, "controller");
        append_string(out, *record.controller);
    }
    append_entries(out, "verificationMethod", record.methods, kMethodOrder);
    append_strings(out, "authentication", record.authentication);
    append_strings(out, "assertionMethod", record.assertion);
    append_entries(out, "service", record.services, kServiceOrder);
    out += ',';
    append_name(out, "created");
    append_string(out, record.created);
    out += ',';
    append_name(out, "updated");
    append_string(out, record.updated);
    out += '}';
    return out;
}

void append_value_form(std::string& out, const Record& record, int level) {
    PrettyObject document(out, level);
    document.texts("@context", kContexts);
    if (!record.assertion.empty()) document.texts("assertionMethod", record.assertion);
    if (!record.authentication.empty()) document.texts("authentication", record.authentication);
    if (record.controller) document.text("controller", *record.controller);
    document.text("created", record.created);
    document.text("id", record.id);
    if (!record.services.empty()) document.entries("service", record.services, kServiceSorted);
    document.text("updated", record.updated);
    if (!record.methods.empty()) document.entries("verificationMethod", record.methods, kMethodSorted);
}

std::string signed_value_form(const Record& record, const Proof& proof) {
    std::string out;
    out.reserve(2 * text_size(record) + 512);
    {
        PrettyObject wrapper(out, 0);
        append_value_form(wrapper.member("document"), record, 1);
        PrettyObject members(wrapper.member("proof"), 1);
        members.text("created", proof.created);
        members.text("proofPurpose", kProofPurpose);
        members.text("proofValue", proof.value);
        members.text("type", kProofType);
        members.text("verificationMethod", proof.method);
    }
    return out;
}

}  // namespace vek::record
