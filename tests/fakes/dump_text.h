// The hex dump's output collected as text, piece by piece, for the tests
// that check it.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kelvex/link.h"

namespace kelvex::testing {

struct DumpText {
    std::string text;
    int calls = 0;  // pieces handed to the output function
};

inline DumpText& dump_sink()
{
    static DumpText sink;
    return sink;
}

inline int dump_to_sink(const char* fmt, ...)
{
    char piece[128];
    va_list args;
    va_start(args, fmt);
    const int n = vsnprintf(piece, sizeof piece, fmt, args);
    va_end(args);
    dump_sink().text += piece;
    ++dump_sink().calls;
    return n;
}

// Dumps through the same printf-like path the system uses and returns what
// it printed.
inline const DumpText& dump_as_text(uint8_t* p, size_t s, uint8_t* base)
{
    dump_sink() = DumpText{};
    diag_vdump_buf_with_offset(dump_to_sink, p, s, base);
    return dump_sink();
}

}  // namespace kelvex::testing
