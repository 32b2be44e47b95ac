#include "signed/exported_version.hpp"

#include <charconv>

#include "common/sha256_method.hpp"
#include "record/record_forms.hpp"

namespace vek::record {
namespace {

using json::Node;

const Node* member(const Node& object, std::string_view name) {
    for (const json::Member& found : object.members) {
        if (found.name == name) return &found.value;
    }
    return nullptr;
}

const Node* member_of_kind(const Node& object, std::string_view name, Node::Kind kind) {
    const Node* value = member(object, name);
    return value != nullptr && value->kind == kind ? value : nullptr;
}

// A number written as an integer (no fraction, no exponent) that fits 64 bits.
std::optional<std::int64_t> integer(const Node* value) {
    if (value == nullptr || value->kind != Node::Kind::Number) return std::nullopt;
    const std::string_view text = value->text;
    std::int64_t result = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return result;
}

}  // namespace

std::shared_ptr<const ExportedVersion> read_exported_version(std::string line) {
    auto version = std::make_shared<ExportedVersion>(std::move(line));
    auto parsed = json::parse_strict(version->line);
    if (!parsed || parsed->root.kind != Node::Kind::Object) return nullptr;
    version->json = std::make_unique<json::JsonDocument>(std::move(*parsed));
    const Node& row = version->json->root;
    const Node* did = member_of_kind(row, "did", Node::Kind::String);
    const Node* version_id = member_of_kind(row, "versionId", Node::Kind::String);
    const Node* signed_document = member_of_kind(row, "signed", Node::Kind::Object);
    const auto seq = integer(member(row, "seq"));
    const auto log_index = integer(member(row, "logIndex"));
    if (did == nullptr || version_id == nullptr || signed_document == nullptr || !seq || !log_index) return nullptr;
    version->did = did->text;
    version->version_id = version_id->text;
    version->seq = *seq;
    version->log_index = *log_index;
    auto parts = check_signed(*signed_document, version->line);
    if (parts && parts->record.id == version->did) {
        version->document_hash = sha256(signed_value_form(parts->record, parts->proof));
        version->parts = std::move(*parts);
        // Nothing reads the tree again: the parts are judged by their texts alone.
        version->parts->record.node = nullptr;
        version->parts->proof.node = nullptr;
    }
    // The texts kept live in the line and in the document's unescaped copies, not in the tree:
    // its memory goes back to this thread's spare blocks for the next line, instead of staying
    // with every version of an export until the audit ends.
    version->json->root = {};
    version->json->arena.reset();
    return version;
}

std::string exported_value_form(const ExportedVersion& version) {
    return version.parts ? signed_value_form(version.parts->record, version.parts->proof) : std::string();
}

}  // namespace vek::record
