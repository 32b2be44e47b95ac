#include "document/timestamp.hpp"

#include <stdexcept>

namespace vek::document {

std::string format_timestamp(std::time_t seconds) {
    std::tm utc{};
    char text[32];
    if (gmtime_r(&seconds, &utc) == nullptr) throw std::runtime_error("clock reading out of range");
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, length);
}

std::string current_timestamp() {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) throw std::runtime_error("real-time clock unreadable");
    // Formatting costs more than the clock, and documents signed in a row mostly share the
    // second: each thread keeps the text of the last one.
    thread_local std::time_t last_seconds = -1;
    thread_local std::string last_text;
    if (now.tv_sec != last_seconds) {
        last_text = format_timestamp(now.tv_sec);
        last_seconds = now.tv_sec;
    }
    return last_text;
}

}  // namespace vek::document
