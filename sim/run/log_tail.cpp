#include "run/log_tail.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kelvex::sim {
namespace {

// "2019-03-05 14:03:09.123 TEXT" -> "TEXT".
std::string without_stamp(const std::string& line)
{
    const size_t date_end = line.find(' ');
    const size_t time_end = date_end == std::string::npos ? date_end : line.find(' ', date_end + 1);
    return time_end == std::string::npos ? line : line.substr(time_end + 1);
}

}  // namespace

LogTail::LogTail(const std::string& path, std::function<void(const std::string&)> on_line)
    : path_(path), on_line_(std::move(on_line)), notify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    const std::string dir = path.substr(0, path.find_last_of('/') + 1);
    if (!notify_.valid() ||
        inotify_add_watch(notify_.get(), dir.empty() ? "." : dir.c_str(),
                          IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
        throw std::system_error(errno, std::generic_category(), "inotify " + dir);
    }
}

void LogTail::drain()
{
    char events[4096];
    while (::read(notify_.get(), events, sizeof events) > 0) {
    }
    if (!file_.valid()) {
        file_ = common::UniqueFd(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file_.valid()) {
            return;
        }
    }
    char buf[8192];
    for (ssize_t n; (n = ::read(file_.get(), buf, sizeof buf)) > 0;) {
        partial_.append(buf, static_cast<size_t>(n));
    }
    size_t start = 0;
    for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
        on_line_(without_stamp(partial_.substr(start, nl - start)));
    }
    partial_.erase(0, start);
}

}  // namespace kelvex::sim
