// A number written the way one printf conversion writes it ("%.3f",
// "%.6g"), by std::to_chars: the same characters in the C locale, without
// printf's multiple-precision arithmetic, which costs more than anything
// else the telemetry, the state file and the line log do per value.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelvex::sim {

class NumberText {
public:
    // "%.Nf" and "%.Ng" go through std::to_chars; any other conversion
    // (flags, a width, another letter) through snprintf, which stays right
    // for formats nobody thought of here.
    explicit NumberText(const char* printf_format) : printf_(printf_format)
    {
        const char* p = printf_format;
        if (p[0] != '%' || p[1] != '.' || p[2] < '0' || p[2] > '9') {
            return;
        }
        char* end = nullptr;
        const long precision = std::strtol(p + 2, &end, 10);
        if (end[1] != '\0' || precision > 40 || (end[0] != 'f' && end[0] != 'g')) {
            return;
        }
        format_ = end[0] == 'f' ? std::chars_format::fixed : std::chars_format::general;
        precision_ = static_cast<int>(precision);
        fast_ = true;
    }

    // Appends the value's text to `out`.
    void append(std::string& out, double value) const
    {
        char buf[kMaxChars];
        out.append(buf, write(buf, value));
    }

    // Writes the value's text into `buf` (kMaxChars long, not terminated);
    // returns its length.
    size_t write(char* buf, double value) const
    {
        if (fast_) {
            const std::to_chars_result r = std::to_chars(buf, buf + kMaxChars, value, format_, precision_);
            if (r.ec == std::errc()) {
                return static_cast<size_t>(r.ptr - buf);
            }
        }
        const int n = std::snprintf(buf, kMaxChars, printf_, value);
        return n < 0 ? 0 : std::min(static_cast<size_t>(n), kMaxChars - 1);
    }

    // Room for the longest text: a double's 309 integer digits and up to
    // 40 decimals.
    static constexpr size_t kMaxChars = 360;

private:
    const char* printf_;
    std::chars_format format_ = std::chars_format::fixed;
    int precision_ = 0;
    bool fast_ = false;
};

}  // namespace kelvex::sim
