// The keys that did:vek issuers listed for assertion over time, taken from histories verified
// already: what a verifier needs to check a proof offline, held in a table that does not
// change once built, so that checks read it from any thread without the interpreter lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/refusal.hpp"
#include "engine/key_pair.hpp"

namespace vek::credentials {

struct IssuerVersion {
    std::int64_t updated;  // the version's "updated", in seconds since 1970
    std::string id;
    // (verification method, key) of every method the version lists for assertion.
    std::vector<std::pair<std::string, engine::PublicKey>> assertion_keys;

    const engine::PublicKey* assertion_key(std::string_view method) const;
};

// The key of a verification method in the version in force at a moment.
struct KeyInForce {
    const IssuerVersion* version = nullptr;  // none: the DID did not exist yet
    const engine::PublicKey* key = nullptr;  // none: not an assertion key of that version
    // Whether the last version lists the same key for the method.
    bool current = false;
};

class IssuerKeys {
public:
    // Appends the next version of `did`; its "updated" must be a whole-second UTC time
    // later than the one before's.
    Checked<void> add_version(std::string_view did, std::string_view updated, std::string version_id,
                              std::vector<std::pair<std::string, engine::PublicKey>> assertion_keys);

    bool knows(std::string_view did) const { return find(did) != nullptr; }

    // `method` of `did` in the last version updated at or before `second` (seconds since
    // 1970): a version updated within the second of a proof was already in force.
    KeyInForce at(std::string_view did, std::string_view method, std::int64_t second) const;

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    const std::vector<IssuerVersion>* find(std::string_view did) const;

    std::unordered_map<std::string, std::vector<IssuerVersion>, Hash, std::equal_to<>> histories_;
};

}  // namespace vek::credentials
