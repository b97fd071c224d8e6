// Command lines of the external tools (capture and upload), run through the
// shell in the working directory.
//
// The formatting is pure so that a command line can be checked for a fixed
// moment without waiting for the clock.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace kelvex::devices {

inline constexpr size_t kCommandCapacity = 1024;
using CommandLine = char[kCommandCapacity];

// Where the camera stores its photos and the transmitter finds them,
// relative to the working directory.
inline constexpr const char* kPhotoDirectory = "photos";

// Characters that stand for themselves in a shell word.
inline bool shell_safe(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    for (const char* s = "-_.:/@%+=,"; *s != '\0'; ++s) {
        if (c == *s) {
            return true;
        }
    }
    return false;
}

// Writes `value` to `out` as text the shell reads back as exactly `value`:
// unchanged when every character is safe, so ordinary URLs keep their form,
// else in single quotes with each quote written as '\''. False when it does
// not fit `cap` bytes with its NUL.
inline bool shell_word(const char* value, char* out, size_t cap)
{
    bool safe = true;
    for (const char* s = value; *s != '\0'; ++s) {
        safe = safe && shell_safe(*s);
    }
    size_t n = 0;
    auto put = [&](const char* text) {
        for (; *text != '\0'; ++text) {
            if (n + 1 >= cap) {
                return false;
            }
            out[n++] = *text;
        }
        return true;
    };
    bool ok = true;
    if (safe) {
        ok = put(value);
    } else {
        ok = put("'");
        for (const char* s = value; ok && *s != '\0'; ++s) {
            const char one[2] = {*s, '\0'};
            ok = put(*s == '\'' ? "'\\''" : one);
        }
        ok = ok && put("'");
    }
    if (cap > 0) {
        out[ok ? n : 0] = '\0';
    }
    return ok;
}

// False when the command line would not fit, so that a cut command is never
// run.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline bool format_command(CommandLine& z, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(z, sizeof z, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof z) {
        z[0] = '\0';
        return false;
    }
    return true;
}

// streamer -s 640x480 -o photos/<num>.jpeg
inline bool capture_command(CommandLine& z, uint16_t num)
{
    return format_command(z, "streamer -s 640x480 -o %s/%d.jpeg", kPhotoDirectory, num);
}

// curl -T photos/<n>.jpeg <ftp_path>/YYYYMMDDhhmmss-<n>.jpeg, with the local
// time of `now`.
inline bool upload_command(CommandLine& z, const char* ftp_path, uint16_t nPhoto, std::time_t now)
{
    std::tm t{};
    tzset();  // like localtime(): a changed TZ counts
    if (localtime_r(&now, &t) == nullptr) {
        return false;
    }
    CommandLine destination;
    if (!shell_word(ftp_path, destination, sizeof destination)) {
        return false;
    }
    return format_command(z, "curl -T %s/%d.jpeg %s/%04d%02d%02d%02d%02d%02d-%d.jpeg", kPhotoDirectory, nPhoto,
                          destination, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                          nPhoto);
}

// Runs a command line through the shell: 0 when it exits with status 0, else
// 1.
int run_command(const char* z);

}  // namespace kelvex::devices
