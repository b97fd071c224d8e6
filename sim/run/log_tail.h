// Follows the ground station's log.txt while it grows and hands on each new
// line's text (without the arrival stamp): the console shows the log exactly
// as the file and the page do.
#pragma once

#include <functional>
#include <string>

#include "common/unique_fd.h"

namespace kelvex::sim {

class LogTail {
public:
    // `path` need not exist yet; its folder must. Throws std::system_error.
    LogTail(const std::string& path, std::function<void(const std::string&)> on_line);

    // Readable when the folder changed.
    int fd() const { return notify_.get(); }
    // Hands on every complete line written since the last call.
    void drain();

private:
    std::string path_;
    std::function<void(const std::string&)> on_line_;
    common::UniqueFd notify_;
    common::UniqueFd file_;
    std::string partial_;
};

}  // namespace kelvex::sim
