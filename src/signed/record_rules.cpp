#include "signed/record_rules.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <tuple>
#include <string>
#include <unordered_set>

#include "did/did_syntax.hpp"
#include "json/strings.hpp"

namespace vek::record {
namespace {

using json::Member;
using json::Node;
using json::quoted;
using json::type_name;


std::string operator+(std::string_view a, std::string_view b) { return std::string(a).append(b); }

// Where a value is: "document.verificationMethod[2].id" is {"document.verificationMethod", 2,
// "id"}. Written out only for a refusal, so that a document that obeys the rules costs no
// text.
struct Place {
    static constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);
    std::string_view parent;
    std::size_t index = kNoIndex;
    std::string_view member;

    Place(std::string_view parent_, std::size_t index_ = kNoIndex, std::string_view member_ = {})
        : parent(parent_), index(index_), member(member_) {}

    Place operator/(std::string_view name) const { return {parent, index, name}; }

    std::string text() const {
        std::string out(parent);
        if (index != kNoIndex) out.append("[").append(std::to_string(index)).append("]");
        if (!member.empty()) out.append(".").append(member);
        return out;
    }
};

// Eight bytes at a time: for bytes below 0x80, adding 0x80 - low sets a byte's high bit
// exactly when it is at least `low`, and no carry crosses into the next byte.
constexpr std::uint64_t kOnes = 0x0101010101010101, kHighBits = 0x8080808080808080;
constexpr std::uint64_t at_least(std::uint64_t word, unsigned char low) { return (word + kOnes * (0x80 - low)) & kHighBits; }
constexpr std::uint64_t in_range(std::uint64_t word, unsigned char low, unsigned char high) {
    return at_least(word, low) & ~at_least(word, static_cast<unsigned char>(high + 1));
}

bool is_lower_hex(std::string_view text, std::size_t digits) {
    if (text.size() != digits) return false;
    std::size_t i = 0;
    for (std::uint64_t word; i + 8 <= text.size(); i += 8) {
        std::memcpy(&word, text.data() + i, 8);
        if ((word & kHighBits) != 0 || (in_range(word, '0', '9') | in_range(word, 'a', 'f')) != kHighBits) return false;
    }
    for (; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (static_cast<unsigned char>(byte - '0') > 9 && static_cast<unsigned char>(byte - 'a') > 5) return false;
    }
    return true;
}

// The same text: names are short, so a loop beats a call to memcmp.
bool same(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// The values of the members `allowed` of an object, null where absent: refused when `value`
// is no object, lacks a member of `required` (indexes into `allowed`, the first in the
// order of `allowed` named) or has any other member (the first in the text named).
template <std::size_t N>
using Slots = std::array<const Node*, N>;

template <std::size_t N>
Checked<Slots<N>> members(const Node& value, const Place& where, const std::array<std::string_view, N>& allowed,
                          std::uint32_t required = (1u << N) - 1) {
    if (value.kind != Node::Kind::Object) return refuse(where.text() + " must be an object, not " + type_name(value));
    Slots<N> slots{};
    const Member* unexpected = nullptr;
    for (const Member& member : value.members) {
        std::size_t i = 0;
        while (i < N && !same(allowed[i], member.name)) ++i;
        if (i < N) {
            slots[i] = &member.value;
        } else if (unexpected == nullptr) {
            unexpected = &member;
        }
    }
    for (std::size_t i = 0; i < N; ++i) {
        if ((required >> i & 1) != 0 && slots[i] == nullptr) {
            return refuse(where.text() + " lacks the member " + quoted(allowed[i]));
        }
    }
    if (unexpected != nullptr) {
        return refuse(where.text() + " has the member " + quoted(unexpected->name) +
                      ", which a signed document never has");
    }
    return slots;
}

Checked<std::string_view> string(const Node& value, const Place& where) {
    if (value.kind != Node::Kind::String) return refuse(where.text() + " must be a string, not " + type_name(value));
    return value.text;
}

// The list under `name`, empty when absent; present means non-empty, as the engine writes it.
Checked<std::span<const Node>> entries(const Node* value, std::string_view name) {
    if (value == nullptr) return std::span<const Node>();
    if (value->kind != Node::Kind::Array) {
        return refuse("document." + name + " must be an array, not " + type_name(*value));
    }
    if (value->elements.empty()) return refuse("document." + name + " must not be empty: an empty list is left out");
    return std::span<const Node>(value->elements);
}

// A text of the form DID#fragment for the document's own DID.
Checked<std::string_view> reference(const Node& value, std::string_view did, const Place& where) {
    auto text = string(value, where);
    if (!text) return text;
    if (!text->starts_with(did) || text->substr(did.size(), 1) != "#") {
        return refuse(where.text() + " " + quoted(*text) + " must be " + quoted(did + "#") + " and a fragment");
    }
    return text;
}

// `value` must be the text `expected`.
Checked<std::string_view> expect(const Node& value, const Place& where, std::string_view expected) {
    auto text = string(value, where);
    if (!text) return text;
    if (*text != expected) return refuse(where.text() + " must be " + quoted(expected) + ", not " + quoted(*text));
    return text;
}

Checked<std::string_view> timestamp(const Node& value, const Place& where) {
    auto text = string(value, where);
    if (!text) return text;
    if (auto checked = check_timestamp(*text, ""); !checked) {
        // Checked once more with its name, now that it is needed.
        return std::unexpected(std::move(check_timestamp(*text, where.text()).error()));
    }
    return text;
}

// The ids of the verification methods, looked up as entries are added: a short list is
// searched, a long one indexed, so that no document costs time quadratic in its size.
class MethodIds {
public:
    bool contains(std::string_view id) const {
        if (!index_.empty()) return index_.contains(id);
        return std::ranges::find(ids_, id) != ids_.end();
    }
    void add(std::string_view id) {
        ids_.push_back(id);
        if (!index_.empty()) {
            index_.insert(id);
        } else if (ids_.size() > kSearched) {
            index_.insert(ids_.begin(), ids_.end());
        }
    }

private:
    static constexpr std::size_t kSearched = 16;
    std::vector<std::string_view> ids_;
    std::unordered_set<std::string_view> index_;
};

int digits(std::string_view text, std::size_t from, std::size_t count) {
    int value = 0;
    for (std::size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

bool is_leap_year(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

}  // namespace

Checked<void> check_timestamp(std::string_view text, std::string_view where) {
    // YYYY-MM-DDThh:mm:ssZ: a digit wherever the pattern has a letter other than T and Z.
    constexpr std::string_view kPattern = "dddd-dd-ddTdd:dd:ddZ";
    bool formed = text.size() == kPattern.size();
    for (std::size_t i = 0; formed && i < text.size(); ++i) {
        formed = kPattern[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == kPattern[i];
    }
    if (!formed) return refuse(where + " " + quoted(text) + " is not a UTC time of the form YYYY-MM-DDThh:mm:ssZ");
    const int year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
    constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool real = year >= 1 && month >= 1 && month <= 12 && day >= 1 &&
                      day <= kDaysInMonth[std::clamp(month, 1, 12) - 1] + (month == 2 && is_leap_year(year)) &&
                      digits(text, 11, 2) <= 23 && digits(text, 14, 2) <= 59 && digits(text, 17, 2) <= 59;
    if (!real) return refuse(where + " " + quoted(text) + " is not a real date and time");
    return {};
}

Checked<std::pair<const Node*, const Node*>> check_wrapper(const Node& value) {
    auto slots = members(value, {"the text"}, kWrapperMembers);
    if (!slots) return std::unexpected(std::move(slots.error()));
    return std::pair{(*slots)[kDocument], (*slots)[kProof]};
}

Checked<Record> check_document(const Node& value) {
    const Place document{"document"};
    auto slots = members(value, document, kDocumentMembers, kRequiredMembers);
    if (!slots) return std::unexpected(std::move(slots.error()));
    const auto& member = *slots;
    Record record;
    record.node = &value;

    const Node& contexts = *member[kContext];
    if (contexts.kind != Node::Kind::Array) {
        return refuse("document.@context must be an array, not " + type_name(contexts));
    }
    for (std::size_t i = 0; i < contexts.elements.size(); ++i) {
        if (auto text = string(contexts.elements[i], {"document.@context", i}); !text) {
            return std::unexpected(std::move(text.error()));
        }
    }
    if (!std::ranges::equal(contexts.elements, kContexts, {}, &Node::text)) {
        std::string all;
        for (const std::string_view context : kContexts) all.append(all.empty() ? "" : ", ").append(context);
        return refuse("document.@context must be exactly " + quoted(all, 200));
    }

    auto did = string(*member[kId], document / "id");
    if (!did) return std::unexpected(std::move(did.error()));
    if (!did::is_valid_did(*did)) return refuse("document.id " + quoted(*did) + " is not a valid did:vek DID");
    record.id = *did;
    if (member[kController] != nullptr) {
        auto text = string(*member[kController], document / "controller");
        if (!text) return std::unexpected(std::move(text.error()));
        record.controller = *text;
    }

    auto methods = entries(member[kMethods], "verificationMethod");
    if (!methods) return std::unexpected(std::move(methods.error()));
    record.methods.reserve(methods->size());
    MethodIds ids;
    for (std::size_t i = 0; i < methods->size(); ++i) {
        const Place at{"document.verificationMethod", i};
        auto entry = members((*methods)[i], at, kMethodMembers);
        if (!entry) return std::unexpected(std::move(entry.error()));
        auto id = reference(*(*entry)[kMethodId], record.id, at / "id");
        if (!id) return std::unexpected(std::move(id.error()));
        if (ids.contains(*id)) return refuse((at / "id").text() + " " + quoted(*id) + " is the id of an earlier entry");
        ids.add(*id);
        auto type = expect(*(*entry)[kMethodType], at / "type", kKeyType);
        if (!type) return std::unexpected(std::move(type.error()));
        auto controller = expect(*(*entry)[kMethodController], at / "controller", record.id);
        if (!controller) return std::unexpected(std::move(controller.error()));
        auto key = string(*(*entry)[kMethodKey], at / "publicKeyHex");
        if (!key) return std::unexpected(std::move(key.error()));
        if (!is_lower_hex(*key, 64)) return refuse((at / "publicKeyHex").text() + " must be 64 lower-case hex digits");
        record.methods.push_back({*id, *type, *controller, *key});
    }

    const std::tuple<const Node*, std::string_view, std::vector<std::string_view>*> relations[] = {
        {member[kAuthentication], "authentication", &record.authentication},
        {member[kAssertion], "assertionMethod", &record.assertion}};
    for (const auto& [present, relation, list] : relations) {
        auto elements = entries(present, relation);
        if (!elements) return std::unexpected(std::move(elements.error()));
        list->reserve(elements->size());
        const std::string_view parent = relation == "authentication" ? "document.authentication"
                                                                      : "document.assertionMethod";
        for (std::size_t i = 0; i < elements->size(); ++i) {
            const Place at{parent, i};
            auto key = string((*elements)[i], at);
            if (!key) return std::unexpected(std::move(key.error()));
            if (!ids.contains(*key)) return refuse(at.text() + " " + quoted(*key) + " names no entry of verificationMethod");
            list->push_back(*key);
        }
    }

    auto services = entries(member[kServices], "service");
    if (!services) return std::unexpected(std::move(services.error()));
    record.services.reserve(services->size());
    for (std::size_t i = 0; i < services->size(); ++i) {
        const Place at{"document.service", i};
        auto entry = members((*services)[i], at, kServiceMembers);
        if (!entry) return std::unexpected(std::move(entry.error()));
        auto id = reference(*(*entry)[kServiceId], record.id, at / "id");
        if (!id) return std::unexpected(std::move(id.error()));
        auto type = string(*(*entry)[kServiceType], at / "type");
        if (!type) return std::unexpected(std::move(type.error()));
        auto endpoint = string(*(*entry)[kServiceEndpoint], at / "serviceEndpoint");
        if (!endpoint) return std::unexpected(std::move(endpoint.error()));
        record.services.push_back({*id, *type, *endpoint});
    }

    auto created = timestamp(*member[kCreated], document / "created");
    if (!created) return std::unexpected(std::move(created.error()));
    auto updated = timestamp(*member[kUpdated], document / "updated");
    if (!updated) return std::unexpected(std::move(updated.error()));
    if (*updated < *created) {  // the fixed form orders as text
        return refuse("document.updated " + quoted(*updated) + " is before document.created " + quoted(*created));
    }
    record.created = *created;
    record.updated = *updated;
    return record;
}

Checked<Proof> check_proof(const Node& value, std::string_view did) {
    const Place proof{"proof"};
    auto slots = members(value, proof, kProofMembers);
    if (!slots) return std::unexpected(std::move(slots.error()));
    const auto& member = *slots;
    if (auto type = expect(*member[kProofTypeMember], proof / "type", kProofType); !type) {
        return std::unexpected(std::move(type.error()));
    }
    if (auto purpose = expect(*member[kProofPurposeMember], proof / "proofPurpose", kProofPurpose); !purpose) {
        return std::unexpected(std::move(purpose.error()));
    }
    auto created = timestamp(*member[kProofCreated], proof / "created");
    if (!created) return std::unexpected(std::move(created.error()));
    auto method = reference(*member[kProofMethod], did, proof / "verificationMethod");
    if (!method) return std::unexpected(std::move(method.error()));
    auto signature = string(*member[kProofValue], proof / "proofValue");
    if (!signature) return std::unexpected(std::move(signature.error()));
    if (!is_lower_hex(*signature, 128)) return refuse("proof.proofValue must be 128 lower-case hex digits");
    return Proof{&value, *created, *method, *signature};
}

}  // namespace vek::record
