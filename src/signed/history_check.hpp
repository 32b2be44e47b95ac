// The history of a DID: its signed versions, oldest first, each signed by a key of the one
// before. Version 1 is signed by a key of its own whose key-derived DID it is, so only the
// holder of that key can start the history; a version without assertion keys deactivates the
// DID and nothing can follow it.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "signed/signed_check.hpp"

namespace vek::record {

struct VerifiedVersion {
    SignedParts parts;
    std::string_view public_key;
    // The signed document in the value form; only for versions read from an array, whose
    // elements have no text of their own.
    std::string value_form;
};

struct VerifiedHistory {
    std::vector<std::unique_ptr<json::JsonDocument>> json;
    std::vector<VerifiedVersion> versions;
};

// The rules a version can break against the version it would follow, or (with no previous
// version) as version 1. Every rule is judged, not only the first that breaks: callers that
// answer in another order than the history's (the registry) pick the rule they name first.
enum class Rule : unsigned {
    Deactivated = 1u << 0,      // the previous version has no assertion keys (H4)
    OtherDid = 1u << 1,         // it is for another DID than the previous version (H2)
    KeyNotListed = 1u << 2,     // its proof's key is not an assertion key of the previous (H2) or its own (H1)
    NotKeyDerived = 1u << 3,    // version 1's DID is not derived from its signing key (H1)
    Signature = 1u << 4,        // the signature does not verify with that key (H1, H2)
    NotLater = 1u << 5,         // its "updated" is not later than the previous version's (H3)
};

struct NextVerdict {
    unsigned broken = 0;          // a set of Rule bits; empty when the version may follow
    std::string_view public_key;  // the key that verified it; empty unless it did

    bool breaks(Rule rule) const { return (broken & static_cast<unsigned>(rule)) != 0; }
};

// The judgement of `parts` after `previous`, or as version 1 when `previous` is null.
NextVerdict judge_next(const Record* previous, const SignedParts& parts);

// Every rule's name as the binding reports it, in the order of the Rule bits.
inline constexpr std::string_view kRuleNames[] = {"deactivated", "other_did",  "key_not_listed",
                                                  "not_key_derived", "signature", "not_later"};

// Checks H1 to H4 over the versions, oldest first; the refusal names the version (by its
// number) and the rule it breaks.
Checked<VerifiedHistory> verify_history(std::span<const std::string> texts);

// The same for the JSON text of an array of signed documents.
Checked<VerifiedHistory> verify_history_array(std::string_view text);

// The same for `array`, a node of `json` (parsed from `text`), which the history then owns.
Checked<VerifiedHistory> verify_history_elements(std::unique_ptr<json::JsonDocument> json, const json::Node& array,
                                                 std::string_view text);

}  // namespace vek::record
