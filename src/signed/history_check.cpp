#include "signed/history_check.hpp"

#include "engine/hex.hpp"
#include "engine/key_did.hpp"
#include "json/strings.hpp"
#include "record/record_forms.hpp"

namespace vek::record {
namespace {

using json::JsonDocument;
using json::Node;
using json::parse_strict;
using json::quoted;

std::string version(std::size_t number) { return "version " + std::to_string(number); }

// Every version must be a signed document that obeys the record rules.
Refusal unreadable(std::size_t index, const Refusal& refusal) {
    return {version(index + 1) + (index == 0 ? " breaks H1: " : " breaks H2: ") + refusal.message};
}

Checked<void> check_first(const VerifiedVersion& first, std::string_view& public_key) {
    const SignedParts& parts = first.parts;
    const std::string where = version(1);
    const auto key = parts.record.assertion_key(parts.proof.method);
    if (!key) {
        return refuse(where + " breaks H1: its proof's key " + quoted(parts.proof.method) +
                      " is not in its own assertionMethod");
    }
    if (!signature_verifies(parts, *key)) return refuse(where + " breaks H1: its signature does not verify with its own key");
    engine::PublicKey bytes;
    if (!engine::decode_hex_exact(*key, bytes) || engine::did_from_public_key(bytes) != parts.record.id) {
        return refuse(where + " breaks H1: " + quoted(parts.record.id) + " is not the DID derived from its signing key");
    }
    public_key = *key;
    return {};
}

Checked<void> check_next(const VerifiedVersion& previous, std::size_t number, const SignedParts& parts,
                         std::string_view& public_key) {
    const std::string where = version(number), before = version(number - 1);
    const Record& last = previous.parts.record;
    if (last.assertion.empty()) {
        return refuse(where + " breaks H4: " + before + " deactivated the DID, nothing may follow it");
    }
    if (parts.record.id != last.id) {
        return refuse(where + " breaks H2: it is for " + quoted(parts.record.id) + ", not " + quoted(last.id));
    }
    const auto key = last.assertion_key(parts.proof.method);
    if (!key) {
        return refuse(where + " breaks H2: its proof's key " + quoted(parts.proof.method) +
                      " is not in the assertionMethod of " + before);
    }
    if (!signature_verifies(parts, *key)) {
        return refuse(where + " breaks H2: its signature does not verify with that key of " + before);
    }
    if (parts.record.updated <= last.updated) {
        return refuse(where + " breaks H3: its updated " + quoted(parts.record.updated) + " is not later than " +
                      quoted(last.updated) + " of " + before);
    }
    public_key = *key;
    return {};
}

// The rules over versions already read, in order.
Checked<VerifiedHistory> check_versions(VerifiedHistory history) {
    if (history.versions.empty()) return refuse("the history is empty: it has no version 1");
    for (std::size_t i = 0; i < history.versions.size(); ++i) {
        VerifiedVersion& current = history.versions[i];
        auto checked = i == 0 ? check_first(current, current.public_key)
                              : check_next(history.versions[i - 1], i + 1, current.parts, current.public_key);
        if (!checked) return std::unexpected(std::move(checked.error()));
    }
    return history;
}

}  // namespace

Checked<VerifiedHistory> verify_history(std::span<const std::string> texts) {
    VerifiedHistory history;
    history.json.reserve(texts.size());
    history.versions.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        auto reading = read_signed(texts[i]);
        if (!reading) return std::unexpected(unreadable(i, reading.error()));
        history.json.push_back(std::move(reading->json));
        history.versions.push_back({std::move(reading->parts), {}, {}});
    }
    return check_versions(std::move(history));
}

Checked<VerifiedHistory> verify_history_array(std::string_view text) {
    auto parsed = parse_strict(text);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    VerifiedHistory history;
    const Node& array = history.json.emplace_back(std::make_unique<JsonDocument>(std::move(*parsed)))->root;
    if (array.kind != Node::Kind::Array) return refuse("a history is a JSON array of signed documents");
    history.versions.reserve(array.elements.size());
    for (std::size_t i = 0; i < array.elements.size(); ++i) {
        auto parts = check_signed(array.elements[i]);
        if (!parts) return std::unexpected(unreadable(i, parts.error()));
        // An element of the array has no text of its own: it is kept as the engine lays it out.
        std::string value_form = signed_value_form(parts->record, parts->proof);
        history.versions.push_back({std::move(*parts), {}, std::move(value_form)});
    }
    return check_versions(std::move(history));
}

}  // namespace vek::record
