#include "run/run_folder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>

#include "json.h"
#include "run/temp_tree.h"

namespace kelvex::sim {
namespace {

constexpr const char* kDefaultParent = "kelvex-run";

bool is_empty_dir(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d) {
        return false;
    }
    bool empty = true;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            empty = false;
            break;
        }
    }
    closedir(d);
    return empty;
}

std::string stamped_name()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &tm);
    return std::string(text) + "-" + std::to_string(getpid());
}

// Points parent/latest at `name`; a rename replaces the old link at once.
void link_latest(const std::string& parent, const std::string& name)
{
    const std::string tmp = parent + "/.latest." + std::to_string(getpid());
    std::remove(tmp.c_str());
    if (symlink(name.c_str(), tmp.c_str()) != 0 ||
        std::rename(tmp.c_str(), (parent + "/latest").c_str()) != 0) {
        std::remove(tmp.c_str());
        std::fprintf(stderr, "kelvex-sim: %s/latest not updated: %s\n", parent.c_str(),
                     std::strerror(errno));
    }
}

std::string json_or_null(const std::string& text)
{
    return text.empty() ? "null" : json_string(text);
}

}  // namespace

RunFolder::RunFolder(const std::string& dir)
{
    if (dir.empty()) {
        const std::string name = stamped_name();
        make_dirs(kDefaultParent);
        path_ = std::string(kDefaultParent) + "/" + name;
        if (mkdir(path_.c_str(), 0755) != 0) {
            throw std::system_error(errno, std::generic_category(), path_);
        }
        link_latest(kDefaultParent, name);
    } else {
        path_ = dir;
        while (path_.size() > 1 && path_.back() == '/') {
            path_.pop_back();
        }
        if (mkdir(path_.c_str(), 0755) != 0) {
            if (errno != EEXIST) {
                make_dirs(path_);
            } else if (!is_empty_dir(path_)) {
                // Another run's files would mix with this one's.
                throw std::runtime_error(path_ + " exists and is not an empty folder; "
                                                 "give --run-dir a new one");
            }
        }
    }
    make_dirs(file("ground"));
    write_file(file("battery.key"), "");
}

void write_run_record(const std::string& path, const RunRecord& r)
{
    std::string status = r.exit_status ? std::to_string(*r.exit_status) : "null";
    std::string text = "{\n  \"format\": 1,\n  \"satellite\": " + json_string(r.satellite) +
                       ",\n  \"address\": " + json_string(r.address) +
                       ",\n  \"program\": " + json_array(r.program) +
                       ",\n  \"options\": " + r.options_json +
                       ",\n  \"t0_unix\": " + json_number(r.t0_unix) +
                       ",\n  \"started\": " + json_string(r.started) +
                       ",\n  \"ended\": " + json_or_null(r.ended) +
                       ",\n  \"exit_status\": " + status +
                       ",\n  \"time_limited\": " + (r.time_limited ? "true" : "false") +
                       ",\n  \"station\": " + json_or_null(r.station) +
                       ",\n  \"scenario\": " + json_or_null(r.scenario) + "\n}\n";
    const std::string tmp = path + ".tmp";
    write_file(tmp, text);
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), path);
    }
}

std::string iso_time_now()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char date[32], zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    std::strftime(zone, sizeof zone, "%z", &tm);  // +hhmm
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03d%.3s:%s", date, static_cast<int>(ms), zone, zone + 3);
    return text;
}

}  // namespace kelvex::sim
