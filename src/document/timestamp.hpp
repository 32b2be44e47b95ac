// UTC timestamps of documents: "%Y-%m-%dT%H:%M:%SZ", one clock reading each.
#pragma once

#include <ctime>
#include <string>

namespace vek::document {

// Formats a reading of the real-time clock; fractions of a second are dropped.
std::string format_timestamp(std::time_t seconds);

// One reading of the real-time clock, formatted.
std::string current_timestamp();

}  // namespace vek::document
