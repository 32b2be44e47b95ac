// The DID document record and its signed wrapper, as one table: the member names of each
// object in declared order (the order of the compact form, which signatures cover), the
// sorted order of the value form derived from them, and the texts every record repeats.
// Writers, the record rules and the Python values all take their names from here.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vek::record {

inline constexpr std::array<std::string_view, 3> kContexts = {
    "https://www.w3.org/ns/did/v1", "https://w3id.org/security/suites/ed25519-2020/v1",
    // The method's own JSON-LD context: our host, the fixed path "/ns/vek/v1".
    "https://did-vek.dev/ns/vek/v1"};
inline constexpr std::string_view kKeyType = "Ed25519VerificationKey2020";
inline constexpr std::string_view kProofType = "Ed25519Signature2020";
inline constexpr std::string_view kProofPurpose = "assertionMethod";

// Each enumeration indexes the names that follow it.
enum DocumentMember : std::uint8_t {
    kContext, kId, kController, kMethods, kAuthentication, kAssertion, kServices, kCreated, kUpdated
};
inline constexpr std::array<std::string_view, 9> kDocumentMembers = {
    "@context", "id", "controller", "verificationMethod", "authentication", "assertionMethod", "service",
    "created", "updated"};
// Without these a document is no record; every other member may be left out.
inline constexpr std::uint32_t kRequiredMembers = 1u << kContext | 1u << kId | 1u << kCreated | 1u << kUpdated;

enum MethodMember : std::uint8_t { kMethodId, kMethodType, kMethodController, kMethodKey };
inline constexpr std::array<std::string_view, 4> kMethodMembers = {"id", "type", "controller", "publicKeyHex"};

enum ServiceMember : std::uint8_t { kServiceId, kServiceType, kServiceEndpoint };
inline constexpr std::array<std::string_view, 3> kServiceMembers = {"id", "type", "serviceEndpoint"};

enum ProofMember : std::uint8_t { kProofTypeMember, kProofCreated, kProofMethod, kProofPurposeMember, kProofValue };
inline constexpr std::array<std::string_view, 5> kProofMembers = {"type", "created", "verificationMethod",
                                                                  "proofPurpose", "proofValue"};

enum WrapperMember : std::uint8_t { kDocument, kProof };
inline constexpr std::array<std::string_view, 2> kWrapperMembers = {"document", "proof"};

// An order of the members of one object, as indexes into its names.
template <std::size_t N>
using MemberOrder = std::array<std::uint8_t, N>;

template <std::size_t N>
constexpr MemberOrder<N> declared_order() {
    MemberOrder<N> order{};
    for (std::size_t i = 0; i < N; ++i) order[i] = static_cast<std::uint8_t>(i);
    return order;
}

// By the bytes of the names, as the value form orders members.
template <std::size_t N>
constexpr MemberOrder<N> sorted_order(const std::array<std::string_view, N>& names) {
    MemberOrder<N> order = declared_order<N>();
    std::ranges::sort(order, [&](std::uint8_t a, std::uint8_t b) { return names[a] < names[b]; });
    return order;
}

// The orders of one kind of form, for every object of a signed document.
struct FormOrder {
    MemberOrder<kDocumentMembers.size()> document;
    MemberOrder<kMethodMembers.size()> method;
    MemberOrder<kServiceMembers.size()> service;
    MemberOrder<kProofMembers.size()> proof;
    MemberOrder<kWrapperMembers.size()> wrapper;
};

inline constexpr FormOrder kDeclaredOrder = {
    declared_order<kDocumentMembers.size()>(), declared_order<kMethodMembers.size()>(),
    declared_order<kServiceMembers.size()>(), declared_order<kProofMembers.size()>(),
    declared_order<kWrapperMembers.size()>()};
inline constexpr FormOrder kSortedOrder = {sorted_order(kDocumentMembers), sorted_order(kMethodMembers),
                                           sorted_order(kServiceMembers), sorted_order(kProofMembers),
                                           sorted_order(kWrapperMembers)};

}  // namespace vek::record
