// A version as a registry's export lists it: one JSON line with its seq, did, versionId,
// logIndex and signed document. The line is read once; the signed document's parts stay with
// it, so that the rules it is judged by later need not read it again.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "json/reader.hpp"
#include "signed/signed_check.hpp"
#include "tlog/map_hashing.hpp"

namespace vek::record {

struct ExportedVersion {
    explicit ExportedVersion(std::string text) : line(std::move(text)) {}
    // Everything below is a view into `line` or `json`: the version never moves.
    ExportedVersion(const ExportedVersion&) = delete;
    ExportedVersion& operator=(const ExportedVersion&) = delete;

    std::string line;
    std::unique_ptr<json::JsonDocument> json;
    std::int64_t seq = 0, log_index = 0;
    std::string_view did, version_id;
    // Only when "signed" is a signed document that obeys the record rules and is of `did`.
    std::optional<SignedParts> parts;
    // H(the signed document in the value form): the `doc` of its log entry.
    tlog::Hash document_hash{};
};

// The version that `line` lists, or null when the line is not one strict JSON object with an
// integer seq and logIndex (64-bit), a text did and versionId and an object signed. A reader
// that resolves what the strict one refuses (a member twice, a huge number) may still make
// sense of such a line: null says "not here", not "malformed".
std::shared_ptr<const ExportedVersion> read_exported_version(std::string line);

// The signed document of a version read whole, in the value form.
std::string exported_value_form(const ExportedVersion& version);

}  // namespace vek::record
