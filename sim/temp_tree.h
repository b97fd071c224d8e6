// The launcher's temporary directory with the GPIO tree the mission runner
// expects in place of /sys/class/gpio.
#pragma once

#include <string>

namespace kelvex::sim {

class TempTree {
public:
    // Creates a fresh directory under $TMPDIR (or /tmp). Throws
    // std::system_error.
    TempTree();
    ~TempTree();  // removes the directory and everything in it
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& path() const { return path_; }
    // Makes <path>/gpio with export, unexport and an exported line 17;
    // returns its path.
    std::string make_gpio();

private:
    std::string path_;
};

}  // namespace kelvex::sim
