// The JSON Canonicalization Scheme (RFC 8785): one text for every JSON value, so that two
// parties hash the same bytes whatever layout, member order or number spelling they received.
// Member names sort by their UTF-16 code units, numbers take ECMAScript's form, strings escape
// only what JSON must (as the engine's writer does). Input is read by the strict reader:
// duplicate names, lone surrogates and NaN have no canonical form.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "common/refusal.hpp"
#include "json/reader.hpp"

namespace vek::credentials {

// The canonical text of the one JSON value in `text`.
Checked<std::string> canonicalize(std::string_view text);

// Appends the canonical text of `node`. Texts that are views of `source`, the text the strict
// reader read the tree from, had no escapes there, so they need none: they are copied as they
// are, without a second look at their bytes.
Checked<void> append_canonical(std::string& out, const json::Node& node, std::string_view source = {});

// Appends the canonical text of the object made of `members` (in any order).
Checked<void> append_canonical_object(std::string& out, std::span<const json::Member* const> members,
                                      std::string_view source = {});

// True when `a` sorts before `b` as UTF-16 code units; both are valid UTF-8.
bool utf16_less(std::string_view a, std::string_view b);

}  // namespace vek::credentials
