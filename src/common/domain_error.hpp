// Failures of the Python-free core, carried as values until the Python boundary.
#pragma once

#include <expected>
#include <string_view>

namespace vek {

// The Python exception class a failure becomes at the boundary.
enum class ErrorKind { Value, Type };

// A failure with a fixed English message. The message is a static string, so
// carrying one costs nothing and no exception object exists until one is raised.
struct DomainError {
    ErrorKind kind;
    const char* message;

    // Compares the texts, not their addresses: one literal may sit at several addresses
    // (sanitizer builds, for one, do not merge string literals across objects).
    friend constexpr bool operator==(const DomainError& a, const DomainError& b) {
        return a.kind == b.kind && std::string_view(a.message) == std::string_view(b.message);
    }
};

template <class T>
using Result = std::expected<T, DomainError>;

// The catalogue: every failure message the module's own operations raise.
namespace errors {
inline constexpr DomainError invalid_did{ErrorKind::Value, "Invalid DID"};
inline constexpr DomainError serialization_failed{ErrorKind::Value, "Serialization failed"};
inline constexpr DomainError invalid_hex{ErrorKind::Value, "Invalid hex string"};
inline constexpr DomainError secret_key_length{ErrorKind::Value, "Secret key must be 32 bytes"};
inline constexpr DomainError did_invalid_characters{ErrorKind::Value, "DID contains invalid characters"};
inline constexpr DomainError did_needs_part{ErrorKind::Value, "DID must have at least one identifier part"};
inline constexpr DomainError parts_is_str{ErrorKind::Type, "Can't extract `str` to `Vec`"};
}  // namespace errors

}  // namespace vek
