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

// Checks H1 to H4 over the versions, oldest first; the refusal names the version (by its
// number) and the rule it breaks.
Checked<VerifiedHistory> verify_history(std::span<const std::string> texts);

// The same for the JSON text of an array of signed documents.
Checked<VerifiedHistory> verify_history_array(std::string_view text);

}  // namespace vek::record
