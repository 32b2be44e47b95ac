#include "credentials/eddsa_jcs.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "common/sha256_method.hpp"
#include "view/multibase.hpp"
#include "credentials/canonical_json.hpp"
#include "document/timestamp.hpp"
#include "signed/record_rules.hpp"
#include "json/strings.hpp"
#include "json/reader.hpp"

namespace vek::credentials {
namespace {

using json::Member;
using json::Node;
using json::quoted;

constexpr std::string_view kProofType = "DataIntegrityProof";
constexpr std::string_view kCryptosuite = "eddsa-jcs-2022";
constexpr std::string_view kPurpose = "assertionMethod";

const Member* find(const Node& object, std::string_view name) {
    for (const Member& member : object.members) {
        if (member.name == name) return &member;
    }
    return nullptr;
}

Member string_member(std::string_view name, std::string_view value) {
    Member member;
    member.name = name;
    member.value.kind = Node::Kind::String;
    member.value.text = value;
    return member;
}

// A credential's members as both issuing and verifying need them.
Checked<json::JsonDocument> read_credential(std::string_view text) {
    auto document = json::parse_strict(text);
    if (!document) return std::unexpected(std::move(document.error()));
    const Node& root = document->root;
    if (root.kind != Node::Kind::Object) return refuse("a credential is a JSON object, not " + std::string(json::type_name(root)));
    for (const std::string_view name : {"@context", "type", "issuer"}) {
        if (find(root, name) == nullptr) return refuse("the credential has no " + quoted(name));
    }
    return document;
}

// The issuer's id: "issuer" is a URL or an object with an "id".
Checked<std::string_view> issuer_id(const Node& credential) {
    const Node& issuer = find(credential, "issuer")->value;
    if (issuer.kind == Node::Kind::String) return issuer.text;
    if (issuer.kind == Node::Kind::Object) {
        const Member* id = find(issuer, "id");
        if (id != nullptr && id->value.kind == Node::Kind::String) return id->value.text;
    }
    return refuse("the credential's \"issuer\" is neither a URL nor an object with an \"id\"");
}

Checked<std::string> canonical(std::span<const Member* const> members, std::size_t expected_size = 256,
                               std::string_view source = {}) {
    std::string out;
    out.reserve(expected_size);
    if (auto written = append_canonical_object(out, members, source); !written) return std::unexpected(written.error());
    return out;
}

Checked<std::string> canonical(const Node& node) {
    std::string out;
    if (auto written = append_canonical(out, node); !written) return std::unexpected(written.error());
    return out;
}

Checked<bool> same_value(const Node& a, const Node& b) {
    auto first = canonical(a);
    auto second = canonical(b);
    if (!first || !second) return std::unexpected(!first ? first.error() : second.error());
    return *first == *second;
}

Checked<const Node*> the_proof(const Node& credential) {
    const Member* proof = find(credential, "proof");
    if (proof == nullptr) return refuse("the credential has no proof");
    const Node* node = &proof->value;
    // A proof set of one is that proof.
    if (node->kind == Node::Kind::Array) {
        if (node->elements.size() != 1) {
            return refuse("the credential has " + std::to_string(node->elements.size()) +
                          " proofs; one proof can be checked");
        }
        node = &node->elements.front();
    }
    if (node->kind != Node::Kind::Object) return refuse("the proof is " + std::string(json::type_name(*node)) + ", not an object");
    return node;
}

Checked<std::string_view> string_of(const Node& proof, std::string_view name, std::string_view what) {
    const Member* member = find(proof, name);
    if (member == nullptr) return refuse("the " + std::string(what) + " has no " + quoted(name));
    if (member->value.kind != Node::Kind::String) {
        return refuse("the " + std::string(what) + "'s " + quoted(name) + " is " + std::string(json::type_name(member->value)) + ", not a string");
    }
    return member->value.text;
}

Checked<std::optional<std::string>> optional_string(const Node& object, std::string_view name, std::string_view what) {
    if (find(object, name) == nullptr) return std::optional<std::string>();
    auto text = string_of(object, name, what);
    if (!text) return std::unexpected(text.error());
    return std::optional<std::string>(std::string(*text));
}

Checked<engine::SignatureBytes> signature_of(std::string_view proof_value) {
    const auto bytes = proof_value.starts_with('z') ? view::base58btc_decode(proof_value.substr(1)) : std::nullopt;
    if (!bytes || bytes->size() != std::tuple_size_v<engine::SignatureBytes>) {
        return refuse("the proof's \"proofValue\" is not a signature of 64 bytes in base58btc (z...)");
    }
    engine::SignatureBytes signature;
    std::copy(bytes->begin(), bytes->end(), signature.begin());
    return signature;
}

}  // namespace

HashData hash_data(std::string_view canonical_proof_configuration, std::string_view canonical_document) {
    // A credential is hashed whole on every check: OpenSSL's SHA-256, its method fetched once.
    const auto configuration = sha256(canonical_proof_configuration);
    const auto document = sha256(canonical_document);
    HashData data;
    std::copy(configuration.begin(), configuration.end(), data.begin());
    std::copy(document.begin(), document.end(), data.begin() + configuration.size());
    return data;
}

Checked<std::string> issue_credential(const engine::KeyPair& key, std::string_view credential,
                                      std::string_view verification_method, std::string_view created) {
    auto document = read_credential(credential);
    if (!document) return std::unexpected(std::move(document.error()));
    const Node& root = document->root;
    if (find(root, "proof") != nullptr) return refuse("the credential already has a proof");
    const std::string now = created.empty() ? document::current_timestamp() : std::string();
    if (created.empty()) created = now;
    if (auto checked = record::check_timestamp(created, "created"); !checked) return std::unexpected(checked.error());
    std::string canonical_document;
    canonical_document.reserve(credential.size());
    if (auto written = append_canonical(canonical_document, root, credential); !written) {
        return std::unexpected(written.error());
    }

    std::vector<Member> fields = {string_member("type", kProofType), string_member("cryptosuite", kCryptosuite),
                                  string_member("created", created),
                                  string_member("verificationMethod", verification_method),
                                  string_member("proofPurpose", kPurpose)};
    std::vector<const Member*> configuration;
    for (const Member& field : fields) configuration.push_back(&field);
    configuration.push_back(find(root, "@context"));
    auto canonical_configuration = canonical(configuration);
    if (!canonical_configuration) return std::unexpected(std::move(canonical_configuration.error()));

    const HashData data = hash_data(*canonical_configuration, canonical_document);
    const engine::SignatureBytes signature = key.sign(data);
    const std::string proof_value = "z" + view::base58btc(signature);
    const Member value = string_member("proofValue", proof_value);
    configuration.push_back(&value);
    auto proof = canonical(configuration);
    if (!proof) return std::unexpected(std::move(proof.error()));

    // The proof goes in after the last member's value, before the white space and the brace
    // that close the object, so that the issuer's own text stays as it was.
    const std::size_t brace = credential.find_last_of('}');
    const std::size_t end = credential.find_last_not_of(" \t\r\n", brace - 1) + 1;
    std::string secured;
    secured.reserve(credential.size() + proof->size() + 10);
    secured.append(credential, 0, end);
    secured += ",\"proof\":";
    secured += *proof;
    secured.append(credential, end);
    return secured;
}

Checked<ProofReading> read_proof(std::string_view secured) {
    auto document = read_credential(secured);
    if (!document) return std::unexpected(std::move(document.error()));
    const Node& root = document->root;
    auto found = the_proof(root);
    if (!found) return std::unexpected(std::move(found.error()));
    const Node& proof = **found;

    auto type = string_of(proof, "type", "proof");
    if (!type) return std::unexpected(std::move(type.error()));
    if (*type != kProofType) return refuse("the proof's type is " + quoted(*type) + ", not \"DataIntegrityProof\"");
    auto suite = string_of(proof, "cryptosuite", "proof");
    if (!suite) return std::unexpected(std::move(suite.error()));
    if (*suite != kCryptosuite) return refuse("unknown cryptosuite " + quoted(*suite));
    auto purpose = string_of(proof, "proofPurpose", "proof");
    if (!purpose) return std::unexpected(std::move(purpose.error()));
    if (*purpose != kPurpose) return refuse("the proof's purpose is " + quoted(*purpose) + ", not \"assertionMethod\"");
    auto method = string_of(proof, "verificationMethod", "proof");
    if (!method) return std::unexpected(std::move(method.error()));
    auto proof_value = string_of(proof, "proofValue", "proof");
    if (!proof_value) return std::unexpected(std::move(proof_value.error()));
    auto signature = signature_of(*proof_value);
    if (!signature) return std::unexpected(std::move(signature.error()));
    auto created = optional_string(proof, "created", "proof");
    if (!created) return std::unexpected(std::move(created.error()));
    auto issuer = issuer_id(root);
    if (!issuer) return std::unexpected(std::move(issuer.error()));
    auto valid_from = optional_string(root, "validFrom", "credential");
    if (!valid_from) return std::unexpected(std::move(valid_from.error()));
    auto valid_until = optional_string(root, "validUntil", "credential");
    if (!valid_until) return std::unexpected(std::move(valid_until.error()));

    // A proof's "@context" is the credential's as it was signed. The suite would let the
    // credential's grow by contexts added after it, but a context added changes what the
    // credential's terms mean, so this verifier takes the credential only as it was signed.
    const Member* proof_context = find(proof, "@context");
    if (proof_context != nullptr) {
        auto same = same_value(find(root, "@context")->value, proof_context->value);
        if (!same) return std::unexpected(std::move(same.error()));
        if (!*same) return refuse("the proof's \"@context\" is not the credential's");
    }
    std::vector<const Member*> configuration, unsecured;
    for (const Member& member : proof.members) {
        if (member.name != "proofValue") configuration.push_back(&member);
    }
    for (const Member& member : root.members) {
        if (member.name != "proof") unsecured.push_back(&member);
    }
    auto canonical_configuration = canonical(configuration);
    if (!canonical_configuration) return std::unexpected(std::move(canonical_configuration.error()));
    auto canonical_document = canonical(unsecured, secured.size(), secured);
    if (!canonical_document) return std::unexpected(std::move(canonical_document.error()));

    ProofReading reading;
    reading.issuer = *issuer;
    reading.verification_method = *method;
    reading.created = std::move(*created);
    reading.valid_from = std::move(*valid_from);
    reading.valid_until = std::move(*valid_until);
    reading.context_in_proof = proof_context != nullptr;
    reading.hash_data = hash_data(*canonical_configuration, *canonical_document);
    reading.signature = *signature;
    return reading;
}

}  // namespace vek::credentials
