// The two text forms of a record that obeys the record rules, written from its checked
// values in the engine's member orders: the compact form (the bytes a signature covers) and
// the value form (members sorted, two-space layout, as the engine writes its results).
#pragma once

#include <string>

#include "signed/record_rules.hpp"

namespace vek::record {

// Members in declared order at every level, no white space, the engine's escaping.
std::string compact_record_form(const Record& record);

// The record in the value form, its first line already indented to `level` (two spaces
// each) by the caller.
void append_value_form(std::string& out, const Record& record, int level);

// {"document": ..., "proof": ...} in the value form, without a final line feed.
std::string signed_value_form(const Record& record, const Proof& proof);

}  // namespace vek::record
