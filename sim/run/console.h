// What the person at the terminal sees of a run: the mission's own output as
// it printed it, the ground log's lines as "[ground] TEXT" and the
// simulator's own lines, each of the last two on a line of its own.
#pragma once

#include <cstdio>
#include <string>

namespace kelvex::sim {

class Console {
public:
    explicit Console(FILE* out = stdout) : out_(out) {}

    void mission(const char* data, size_t n);
    // `text` is already escaped (log.txt's form).
    void ground(const std::string& text);
    // A line of the simulator's own; the newline is added.
    void say(const std::string& line);

private:
    void own_line(const std::string& line);

    FILE* out_;
    bool at_line_start_ = true;
};

}  // namespace kelvex::sim
