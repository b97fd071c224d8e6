// Where kelvex-sim finds the kit's other programs.
#pragma once

#include <string>

namespace kelvex::sim {

bool is_executable(const std::string& path);
bool is_dir(const std::string& path);
// The directory of the running kelvex-sim.
std::string self_dir();
// `built` (relative to self_dir()) when it is executable, else `name` on
// PATH; empty when neither exists.
std::string find_program(const std::string& built, const std::string& name);

}  // namespace kelvex::sim
