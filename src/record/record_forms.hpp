// The text forms of a record, written with the one JSON writer in the orders of the schema:
// the compact form (declared order, the bytes a signature covers) and the value form
// (members sorted, two-space layout, as the engine writes its results).
#pragma once

#include <string>

#include "json/writer.hpp"
#include "record/record.hpp"

namespace vek::record {

// The record as one object, its members and those of its entries in `order`.
void write_record(json::Writer& out, const Record& record, const FormOrder& order);

// A capacity that holds either form of `record` without growing.
std::size_t form_size(const Record& record);

// Members in declared order at every level, no white space, the engine's escaping.
std::string compact_record_form(const Record& record);

// The record in the value form, its first line already indented to `level` (two spaces
// each) by the caller.
void append_value_form(std::string& out, const Record& record, int level);

// {"document": ..., "proof": ...} in the value form, without a final line feed, appended to `out`.
void append_signed_value_form(std::string& out, const Record& record, const Proof& proof);

std::string signed_value_form(const Record& record, const Proof& proof);

}  // namespace vek::record
