// The record rules: which DID documents and proofs a signed document may hold, member by
// member. Anything outside them is refused, not ignored: a verifier that rebuilt only the
// members it knows would accept a document into which someone put unsigned members, and a
// key that also signs chosen texts could be made to sign a document of any shape.
#pragma once

#include <string_view>
#include <utility>

#include "common/refusal.hpp"
#include "json/reader.hpp"
#include "record/record.hpp"

namespace vek::record {

// The "document" and "proof" members of a signed document, neither checked yet.
Checked<std::pair<const json::Node*, const json::Node*>> check_wrapper(const json::Node& value);

// `value` as a record if it obeys the record rules.
Checked<Record> check_document(const json::Node& value);

// `value` as a proof if it is one of this method for a document of `did`.
Checked<Proof> check_proof(const json::Node& value, std::string_view did);

// A refusal unless `text` is a real UTC time written "YYYY-MM-DDThh:mm:ssZ"; `where` names
// the member in the message.
Checked<void> check_timestamp(std::string_view text, std::string_view where);

}  // namespace vek::record
