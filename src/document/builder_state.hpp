// What a document builder records: the DID and copies of every text it was given.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/domain_error.hpp"

namespace vek::document {

inline constexpr std::string_view kConsentServiceId = "bilateral-consent";
inline constexpr std::string_view kConsentServiceType = "BilateralConsentService";
inline constexpr std::string_view kTalvoServiceId = "talvo-provenance";
inline constexpr std::string_view kTalvoServiceType = "TALVOProvenanceService";

class BuilderState {
public:
    // The DID must pass the DID check; it is the only stored text that is validated.
    static Result<BuilderState> create(std::string_view did);

    void set_controller(std::string_view controller) { controller_.emplace(controller); }
    void add_verification_method(std::string_view key_id, std::string_view public_key_hex);
    void add_authentication(std::string_view key_id) { authentication_.emplace_back(key_id); }
    void add_assertion_method(std::string_view key_id) { assertion_methods_.emplace_back(key_id); }
    void add_service(std::string_view service_id, std::string_view service_type, std::string_view endpoint);

    // A fresh document from the recorded state, in the pretty record form.
    Result<std::string> build() const;

private:
    struct KeyEntry {
        std::string key_id;
        std::string public_key_hex;
    };
    struct ServiceRecord {
        std::string service_id;
        std::string service_type;
        std::string endpoint;
    };

    explicit BuilderState(std::string_view did) : did_(did) {}

    std::string did_;
    std::vector<KeyEntry> verification_methods_;
    std::vector<std::string> authentication_;
    std::vector<std::string> assertion_methods_;
    std::vector<ServiceRecord> services_;
    std::optional<std::string> controller_;
};

}  // namespace vek::document
