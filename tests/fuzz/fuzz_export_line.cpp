// Export lines read natively: no input crashes the reading, a line taken is the same row to the
// independent reader (where it reads the line at all: it refuses integers beyond a double, which
// may stand in members the row does not use), and a version read whole keeps texts that outlive
// its parse tree: its value form is the document's hash's input and reads back to its compact form.
// Covers: src/signed/exported_version.cpp
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "signed/exported_version.hpp"

using namespace vek::record;

static vek::tlog::Hash sha256(std::string_view text) {
    vek::tlog::Hash out{};
    unsigned int length = 0;
    FUZZ_CHECK(EVP_Digest(text.data(), text.size(), out.data(), &length, EVP_sha256(), nullptr) == 1);
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const auto version = read_exported_version(line);
    if (!version) return 0;

    const auto row = nlohmann::json::parse(line, nullptr, false);
    if (!row.is_discarded()) {
        FUZZ_CHECK(row.is_object() && row.at("did") == std::string(version->did) &&
                   row.at("versionId") == std::string(version->version_id) && row.at("seq") == version->seq &&
                   row.at("logIndex") == version->log_index && row.at("signed").is_object());
    }
    if (!version->parts) return 0;

    FUZZ_CHECK(version->parts->record.id == version->did);
    const std::string value_form = exported_value_form(*version);
    FUZZ_CHECK(sha256(value_form) == version->document_hash);
    const auto again = read_signed(value_form);
    FUZZ_CHECK(again && again->parts.compact == version->parts->compact);
    return 0;
}
