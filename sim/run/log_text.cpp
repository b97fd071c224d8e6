#include "run/log_text.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace kelvex::sim {
namespace {

// Length of the well-formed UTF-8 sequence at p (at most n bytes), or 0.
size_t utf8_length(const unsigned char* p, size_t n)
{
    const unsigned char c = p[0];
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi) {
        return 0;
    }
    for (size_t i = 2; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return len;
}

void append_hex(std::string& out, unsigned char c)
{
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\x%02x", c);
    out += esc;
}

}  // namespace

std::string log_text(const char* data, size_t n)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    if (n > 0 && p[n - 1] == '\n') {
        --n;
    }
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c >= 0x80) {
            const size_t len = utf8_length(p + i, n - i);
            if (len == 0) {
                append_hex(out, c);
                ++i;
            } else {
                out.append(data + i, len);
                i += len;
            }
            continue;
        }
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            append_hex(out, c);
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

std::string log_stamp(double unix_time)
{
    const double whole = std::floor(unix_time);
    const std::time_t t = static_cast<std::time_t>(whole);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[40];
    const size_t len = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(text + len, sizeof text - len, ".%03d",
                  static_cast<int>((unix_time - whole) * 1000.0) % 1000);
    return text;
}

}  // namespace kelvex::sim
