#include "credentials/date_time.hpp"

#include <array>

namespace vek::credentials {
namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number written by the `count` digits of `text` at `at`, or -1 when one is not a digit.
int digits(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return -1;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!is_digit(text[i])) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool is_leap_year(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month) {
    constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[static_cast<std::size_t>(month - 1)] + (month == 2 && is_leap_year(year) ? 1 : 0);
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, which repeats every 400
// years: they are counted as eras from March of year 0.
std::int64_t days_from_civil(int year, int month, int day) {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t year_of_era = y - era * 400;
    const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146'097 + day_of_era - 719'468;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0); }

}  // namespace

std::optional<Microseconds> read_date_time(std::string_view text) {
    // YYYY-MM-DDThh:mm:ss: the separators at fixed places, digits between them.
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':') {
        return std::nullopt;
    }
    const int year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
    const int hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
        return std::nullopt;
    }
    std::size_t at = 19;
    std::int64_t fraction = 0;
    if (text[at] == '.') {
        const std::size_t first = ++at;
        for (; at < text.size() && is_digit(text[at]); ++at) {
            if (at - first < 6) fraction = fraction * 10 + (text[at] - '0');
        }
        if (at == first) return std::nullopt;
        for (std::size_t kept = at - first; kept < 6; ++kept) fraction *= 10;
    }
    std::int64_t offset = 0;
    const std::string_view zone = text.substr(at);
    if (zone != "Z") {
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') return std::nullopt;
        const int offset_hours = digits(zone, 1, 2), offset_minutes = digits(zone, 4, 2);
        if (offset_hours < 0 || offset_hours > 23 || offset_minutes < 0 || offset_minutes > 59) return std::nullopt;
        offset = (offset_hours * 60 + offset_minutes) * 60 * (zone[0] == '-' ? -1 : 1);
    }
    const std::int64_t seconds =
        days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second - offset;
    return seconds * kMicrosecondsPerSecond + fraction;
}

std::int64_t whole_second(Microseconds moment) { return floor_div(moment, kMicrosecondsPerSecond); }

}  // namespace vek::credentials
