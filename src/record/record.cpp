#include "record/record.hpp"

#include <algorithm>

namespace vek::record {

std::optional<std::string_view> Record::assertion_key(std::string_view method) const {
    if (std::ranges::find(assertion, method) == assertion.end()) return std::nullopt;
    // Found: the record rules resolve every reference to an entry.
    for (const MethodEntry& entry : methods) {
        if (entry.id == method) return entry.public_key_hex;
    }
    return std::nullopt;
}

}  // namespace vek::record
