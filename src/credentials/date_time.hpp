// Times as credentials write them: XML Schema's dateTimeStamp, a date and a time of day with
// its zone ("Z" or ±hh:mm), read as a moment to the microsecond.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vek::credentials {

// Microseconds since 1970-01-01T00:00:00Z; negative before it.
using Microseconds = std::int64_t;

constexpr Microseconds kMicrosecondsPerSecond = 1'000'000;

// YYYY-MM-DDThh:mm:ss, an optional fraction, then "Z" or ±hh:mm: a real date from year 1,
// hours to 23, no leap second, a zone under a day. Digits of the fraction past the sixth
// are dropped. Nothing for any other text.
std::optional<Microseconds> read_date_time(std::string_view text);

// The whole second of `moment`, counted from 1970 (rounded down, before it too).
std::int64_t whole_second(Microseconds moment);

}  // namespace vek::credentials
