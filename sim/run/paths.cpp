#include "run/paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace kelvex::sim {

bool is_executable(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool is_dir(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string self_dir()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return ".";
    }
    std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.find_last_of('/'));
}

std::string find_program(const std::string& built, const std::string& name)
{
    const std::string here = self_dir() + "/" + built;
    if (is_executable(here)) {
        return here;
    }
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && is_executable(dir + "/" + name)) {
            return dir + "/" + name;
        }
        start = end + 1;
    }
    return {};
}

}  // namespace kelvex::sim
