#include "run/temp_tree.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <system_error>

namespace kelvex::sim {
void write_file(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::trunc);
    f << content;
    f.close();
    if (!f) {
        throw std::system_error(errno, std::generic_category(), path);
    }
}

void make_dirs(const std::string& dir)
{
    size_t at = 0;
    do {
        at = dir.find('/', at + 1);
        const std::string part = dir.substr(0, at);
        if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            throw std::system_error(errno, std::generic_category(), part);
        }
    } while (at != std::string::npos);
}

void make_gpio_tree(const std::string& dir)
{
    make_dirs(dir + "/gpio17");
    write_file(dir + "/export", "");
    write_file(dir + "/unexport", "");
    write_file(dir + "/gpio17/direction", "in");
    write_file(dir + "/gpio17/value", "0");
}

}  // namespace kelvex::sim
