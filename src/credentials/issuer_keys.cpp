#include "credentials/issuer_keys.hpp"

#include <algorithm>

#include "credentials/date_time.hpp"
#include "json/strings.hpp"

namespace vek::credentials {

const engine::PublicKey* IssuerVersion::assertion_key(std::string_view method) const {
    for (const auto& [name, key] : assertion_keys) {
        if (name == method) return &key;
    }
    return nullptr;
}

Checked<void> IssuerKeys::add_version(std::string_view did, std::string_view updated, std::string version_id,
                                      std::vector<std::pair<std::string, engine::PublicKey>> assertion_keys) {
    const auto moment = read_date_time(updated);
    if (!moment || updated.size() != 20 || !updated.ends_with('Z')) {
        return refuse("the version time " + json::quoted(updated) + " is not of the form YYYY-MM-DDThh:mm:ssZ");
    }
    auto& versions = histories_.try_emplace(std::string(did)).first->second;
    const std::int64_t second = whole_second(*moment);
    if (!versions.empty() && versions.back().updated >= second) {
        return refuse("the versions of " + json::quoted(did) + " are not in the order of their times");
    }
    versions.push_back({second, std::move(version_id), std::move(assertion_keys)});
    return {};
}

const std::vector<IssuerVersion>* IssuerKeys::find(std::string_view did) const {
    const auto found = histories_.find(did);
    return found == histories_.end() ? nullptr : &found->second;
}

KeyInForce IssuerKeys::at(std::string_view did, std::string_view method, std::int64_t second) const {
    const std::vector<IssuerVersion>* versions = find(did);
    if (versions == nullptr || versions->empty()) return {};
    const auto later = std::ranges::upper_bound(*versions, second, {}, &IssuerVersion::updated);
    if (later == versions->begin()) return {};
    const IssuerVersion& version = *std::prev(later);
    KeyInForce found{.version = &version, .key = version.assertion_key(method)};
    if (found.key != nullptr) {
        const engine::PublicKey* last = versions->back().assertion_key(method);
        found.current = last != nullptr && *last == *found.key;
    }
    return found;
}

}  // namespace vek::credentials
