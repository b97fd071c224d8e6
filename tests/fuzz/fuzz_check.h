// Checks shared by the fuzz targets. Under libFuzzer a failed check aborts,
// which the fuzzer reports with the input that caused it; in the ordinary
// test build the same targets replay the corpus and a failed check is a test
// failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef KELVEX_FUZZ_REPLAY
#include <gtest/gtest.h>
#endif

namespace kelvex::fuzz {

inline void fail(const char* what, const char* file, int line)
{
#ifdef KELVEX_FUZZ_REPLAY
    ADD_FAILURE_AT(file, line) << "check failed: " << what;
#else
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
#endif
}

// Folds bytes into a sink the optimiser must keep, so that a target whose
// result is otherwise only compared cannot lose the writes it checks.
inline void keep(const uint8_t* p, size_t n)
{
    static volatile uint8_t sink;
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i) {
        x = static_cast<uint8_t>(x ^ p[i]);
    }
    sink = static_cast<uint8_t>(sink + x);
}

}  // namespace kelvex::fuzz

#define FUZZ_CHECK(cond)                                         \
    do {                                                         \
        if (!(cond)) {                                           \
            ::kelvex::fuzz::fail(#cond, __FILE__, __LINE__);     \
        }                                                        \
    } while (0)
