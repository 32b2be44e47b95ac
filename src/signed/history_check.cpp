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

void mark(NextVerdict& verdict, Rule rule) { verdict.broken |= static_cast<unsigned>(rule); }

bool key_derives(std::string_view public_key, std::string_view did) {
    engine::PublicKey bytes;
    return engine::decode_hex_exact(public_key, bytes) && engine::did_from_public_key(bytes) == did;
}

// Version 1's messages, in the order the history names them.
Checked<void> refuse_first(const NextVerdict& verdict, const SignedParts& parts) {
    const std::string where = version(1);
    if (verdict.breaks(Rule::KeyNotListed)) {
        return refuse(where + " breaks H1: its proof's key " + quoted(parts.proof.method) +
                      " is not in its own assertionMethod");
    }
    if (verdict.breaks(Rule::Signature)) return refuse(where + " breaks H1: its signature does not verify with its own key");
    if (verdict.breaks(Rule::NotKeyDerived)) {
        return refuse(where + " breaks H1: " + quoted(parts.record.id) + " is not the DID derived from its signing key");
    }
    return {};
}

// A later version's messages, in the order the history names them.
Checked<void> refuse_next(const NextVerdict& verdict, const Record& last, std::size_t number, const SignedParts& parts) {
    const std::string where = version(number), before = version(number - 1);
    if (verdict.breaks(Rule::Deactivated)) {
        return refuse(where + " breaks H4: " + before + " deactivated the DID, nothing may follow it");
    }
    if (verdict.breaks(Rule::OtherDid)) {
        return refuse(where + " breaks H2: it is for " + quoted(parts.record.id) + ", not " + quoted(last.id));
    }
    if (verdict.breaks(Rule::KeyNotListed)) {
        return refuse(where + " breaks H2: its proof's key " + quoted(parts.proof.method) +
                      " is not in the assertionMethod of " + before);
    }
    if (verdict.breaks(Rule::Signature)) {
        return refuse(where + " breaks H2: its signature does not verify with that key of " + before);
    }
    if (verdict.breaks(Rule::NotLater)) {
        return refuse(where + " breaks H3: its updated " + quoted(parts.record.updated) + " is not later than " +
                      quoted(last.updated) + " of " + before);
    }
    return {};
}

// The rules over versions already read, in order.
Checked<VerifiedHistory> check_versions(VerifiedHistory history) {
    if (history.versions.empty()) return refuse("the history is empty: it has no version 1");
    for (std::size_t i = 0; i < history.versions.size(); ++i) {
        VerifiedVersion& current = history.versions[i];
        const Record* previous = i == 0 ? nullptr : &history.versions[i - 1].parts.record;
        const NextVerdict verdict = judge_next(previous, current.parts);
        auto checked = previous == nullptr ? refuse_first(verdict, current.parts)
                                           : refuse_next(verdict, *previous, i + 1, current.parts);
        if (!checked) return std::unexpected(std::move(checked.error()));
        current.public_key = verdict.public_key;
    }
    return history;
}

}  // namespace

NextVerdict judge_next(const Record* previous, const SignedParts& parts) {
    NextVerdict verdict;
    // Version 1 is signed by a key of its own; a later one by a key of the version before.
    const Record& signer = previous == nullptr ? parts.record : *previous;
    if (previous != nullptr) {
        if (previous->assertion.empty()) mark(verdict, Rule::Deactivated);
        if (parts.record.id != previous->id) mark(verdict, Rule::OtherDid);
        if (parts.record.updated <= previous->updated) mark(verdict, Rule::NotLater);
    }
    const auto key = signer.assertion_key(parts.proof.method);
    if (!key) {
        mark(verdict, Rule::KeyNotListed);
        return verdict;
    }
    if (previous == nullptr && !key_derives(*key, parts.record.id)) mark(verdict, Rule::NotKeyDerived);
    if (!signature_verifies(parts, *key)) mark(verdict, Rule::Signature);
    if (verdict.broken == 0) verdict.public_key = *key;
    return verdict;
}

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

Checked<VerifiedHistory> verify_history_elements(std::unique_ptr<JsonDocument> json, const Node& array,
                                                 std::string_view text) {
    VerifiedHistory history;
    history.json.push_back(std::move(json));
    if (array.kind != Node::Kind::Array) return refuse("a history is a JSON array of signed documents");
    history.versions.reserve(array.elements.size());
    for (std::size_t i = 0; i < array.elements.size(); ++i) {
        auto parts = check_signed(array.elements[i], text);
        if (!parts) return std::unexpected(unreadable(i, parts.error()));
        // An element of the array has no text of its own: it is kept as the engine lays it out.
        std::string value_form = signed_value_form(parts->record, parts->proof);
        history.versions.push_back({std::move(*parts), {}, std::move(value_form)});
    }
    return check_versions(std::move(history));
}

Checked<VerifiedHistory> verify_history_array(std::string_view text) {
    auto parsed = parse_strict(text);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    auto json = std::make_unique<JsonDocument>(std::move(*parsed));
    const Node& array = json->root;
    return verify_history_elements(std::move(json), array, text);
}

}  // namespace vek::record
