#include "line/line_log.h"

#include <cerrno>
#include <system_error>

#include "number_text.h"

namespace kelvex::sim {

LineLog::LineLog(const std::string& path) : file_(std::fopen(path.c_str(), "we"))
{
    if (!file_) {
        throw std::system_error(errno, std::generic_category(), path);
    }
}

void LineLog::sent(double t, const uint8_t* bytes, size_t n)
{
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] == 0) {
            if (i > start) {
                write(t, "tx", bytes + start, i - start);
            }
            start = i + 1;
        }
    }
    if (start < n) {
        write(t, "tx", bytes + start, n - start);
    }
}

void LineLog::write(double t, const char* dir, const uint8_t* frame, size_t n)
{
    static const char kHex[] = "0123456789abcdef";
    static const NumberText kTime("%.6f");
    char stamp[NumberText::kMaxChars];
    line_.assign(stamp, kTime.write(stamp, t));
    line_ += ' ';
    line_ += dir;
    for (size_t i = 0; i < n; ++i) {
        const char hex[3] = {' ', kHex[frame[i] >> 4], kHex[frame[i] & 15]};
        line_.append(hex, 3);
    }
    line_ += '\n';
    std::fwrite(line_.data(), 1, line_.size(), file_.get());
}

}  // namespace kelvex::sim
