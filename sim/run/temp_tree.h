// The desk GPIO tree the mission runner expects in place of /sys/class/gpio
// (kelvex-sim gpio-tree), and the file helpers it is made with.
#pragma once

#include <string>

namespace kelvex::sim {

// Makes `dir` (and its parents) with what the runner needs of sysfs:
// "export", "unexport" and an exported line 17 ("gpio17/direction" "in",
// "gpio17/value" "0"). Throws std::system_error.
void make_gpio_tree(const std::string& dir);

// mkdir -p; throws std::system_error.
void make_dirs(const std::string& dir);

// Writes `content` to a new or truncated file; throws std::system_error.
void write_file(const std::string& path, const std::string& content);

}  // namespace kelvex::sim
