// The launcher's temporary directory: the GPIO tree the mission runner
// expects in place of /sys/class/gpio, the state file, curl's settings.
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
    // Makes <path>/gpio (see make_gpio_tree); returns its path.
    std::string make_gpio();
    // Makes <path>/curl/.curlrc, which keeps curl's progress meter out of the
    // mission's output; returns the directory, for CURL_HOME.
    std::string make_curl_home();

private:
    std::string path_;
};

// Makes `dir` (and its parents) with what the runner needs of sysfs:
// "export", "unexport" and an exported line 17 ("gpio17/direction" "in",
// "gpio17/value" "0"). Throws std::system_error.
void make_gpio_tree(const std::string& dir);

// mkdir -p; throws std::system_error.
void make_dirs(const std::string& dir);

// Writes `content` to a new or truncated file; throws std::system_error.
void write_file(const std::string& path, const std::string& content);

}  // namespace kelvex::sim
