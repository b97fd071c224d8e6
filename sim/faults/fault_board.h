// The faults switched on now, switched by the command line, the control
// channel's commands and whoever sends them; every switch a row of the
// events file.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "faults/fault_table.h"

namespace kelvex::sim {

class FaultBoard {
public:
    // An empty path: no events file. Throws std::system_error when it
    // cannot be created.
    FaultBoard(Satellite& sat, const std::string& events_path);

    // One line of the control channel; the answer, newline included: one
    // line, or a block that ends with "end".
    std::string command(const std::string& line);

    // Switches a fault on, or changes its value.
    void switch_on(const FaultSwitch& request, const std::string& source);
    // Switches it off; false when it was not on.
    bool switch_off(const FaultKind& kind, int unit, const std::string& source);
    size_t active() const { return active_.size(); }

private:
    struct Active {
        double value = 0;
        bool has_value = false;
        double since = 0;
        std::string source;
    };
    using Key = std::pair<const FaultKind*, int>;

    std::string on_fault(const std::vector<std::string>& words, bool on);
    std::string list_block() const;
    std::string active_block() const;
    void event(const char* action, const FaultKind& kind, int unit, const std::string& value,
               const std::string& source);
    double now() const;

    struct FileCloser {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    Satellite& sat_;
    std::map<Key, Active> active_;
    std::unique_ptr<FILE, FileCloser> events_;
};

}  // namespace kelvex::sim
