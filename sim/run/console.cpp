#include "run/console.h"

namespace kelvex::sim {

void Console::mission(const char* data, size_t n)
{
    if (n == 0) {
        return;
    }
    std::fwrite(data, 1, n, out_);
    std::fflush(out_);
    at_line_start_ = data[n - 1] == '\n';
}

void Console::ground(const std::string& text) { own_line("[ground] " + text); }

void Console::say(const std::string& line) { own_line(line); }

void Console::own_line(const std::string& line)
{
    // A mission line still being printed is left open, not run into.
    if (!at_line_start_) {
        std::fputc('\n', out_);
    }
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
    at_line_start_ = true;
}

}  // namespace kelvex::sim
