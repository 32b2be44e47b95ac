#include "record/record_forms.hpp"

#include <span>

namespace vek::record {
namespace {

using json::Layout;
using json::Writer;

// A list is left out when it is empty.
void write_texts(Writer& out, std::string_view name, std::span<const std::string_view> texts) {
    if (texts.empty()) return;
    out.plain_name(name);
    out.begin_array();
    for (const std::string_view text : texts) out.string(text);
    out.end_array();
}

template <class Entry, std::size_t N>
void write_entries(Writer& out, std::string_view name, const std::vector<Entry>& entries,
                   const std::array<std::string_view, N>& names, const MemberOrder<N>& order) {
    if (entries.empty()) return;
    out.plain_name(name);
    out.begin_array();
    for (const Entry& entry : entries) {
        const auto texts = texts_of(entry);
        out.begin_object();
        for (const std::uint8_t member : order) out.plain_member(names[member], texts[member]);
        out.end_object();
    }
    out.end_array();
}

void write_proof(Writer& out, const Proof& proof, const MemberOrder<kProofMembers.size()>& order) {
    const std::array<std::string_view, kProofMembers.size()> texts = {kProofType, proof.created, proof.method,
                                                                       kProofPurpose, proof.value};
    out.begin_object();
    for (const std::uint8_t member : order) out.plain_member(kProofMembers[member], texts[member]);
    out.end_object();
}

}  // namespace

void write_record(Writer& out, const Record& record, const FormOrder& order) {
    out.trust_views_of(record.source);
    out.begin_object();
    for (const std::uint8_t member : order.document) {
        const std::string_view name = kDocumentMembers[member];
        switch (static_cast<DocumentMember>(member)) {
            case kContext: write_texts(out, name, kContexts); break;
            case kId: out.plain_member(name, record.id); break;
            case kController:
                if (record.controller) out.plain_member(name, *record.controller);
                break;
            case kMethods: write_entries(out, name, record.methods, kMethodMembers, order.method); break;
            case kAuthentication: write_texts(out, name, record.authentication); break;
            case kAssertion: write_texts(out, name, record.assertion); break;
            case kServices: write_entries(out, name, record.services, kServiceMembers, order.service); break;
            case kCreated: out.plain_member(name, record.created); break;
            case kUpdated: out.plain_member(name, record.updated); break;
        }
    }
    out.end_object();
}

std::size_t form_size(const Record& record) {
    std::size_t size = 200 + record.id.size() + record.controller.value_or("").size();
    for (const auto& method : record.methods) size += 120 + method.id.size() + method.controller.size();
    for (const auto& key : record.authentication) size += 4 + key.size();
    for (const auto& key : record.assertion) size += 4 + key.size();
    for (const auto& service : record.services) {
        size += 50 + service.id.size() + service.type.size() + service.endpoint.size();
    }
    return size;
}

std::string compact_record_form(const Record& record) {
    std::string out;
    out.reserve(form_size(record));
    {
        Writer writer(out, Layout::Compact);
        write_record(writer, record, kDeclaredOrder);
    }
    return out;
}

void append_value_form(std::string& out, const Record& record, int level) {
    Writer writer(out, Layout::Pretty, level);
    write_record(writer, record, kSortedOrder);
}

void append_signed_value_form(std::string& out, const Record& record, const Proof& proof) {
    out.reserve(out.size() + 2 * form_size(record) + 512);
    Writer writer(out, Layout::Pretty);
    writer.begin_object();
    for (const std::uint8_t member : kSortedOrder.wrapper) {
        writer.plain_name(kWrapperMembers[member]);
        if (member == kDocument) {
            write_record(writer, record, kSortedOrder);
        } else {
            write_proof(writer, proof, kSortedOrder.proof);
        }
    }
    writer.end_object();
}

std::string signed_value_form(const Record& record, const Proof& proof) {
    std::string out;
    append_signed_value_form(out, record, proof);
    return out;
}

}  // namespace vek::record
