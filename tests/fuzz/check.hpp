// A broken property of a harness: say which, then abort, which libFuzzer records as a
// crash together with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition) ((condition) ? void() : fuzz_check_failed(#condition, __FILE__, __LINE__))

[[noreturn]] inline void fuzz_check_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "property violated: %s (%s:%d)\n", condition, file, line);
    std::abort();
}
