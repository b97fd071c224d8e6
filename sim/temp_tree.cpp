#include "temp_tree.h"

#include <ftw.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <vector>

namespace kelvex::sim {
namespace {

int remove_entry(const char* path, const struct stat*, int, FTW*) { return std::remove(path); }

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream f(path);
    f << content;
    if (!f) {
        throw std::system_error(errno, std::generic_category(), path);
    }
}

}  // namespace

TempTree::TempTree()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvex-sim.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = buf.data();
}

TempTree::~TempTree() { nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

std::string TempTree::make_gpio()
{
    const std::string gpio = path_ + "/gpio";
    for (const std::string& d : {gpio, gpio + "/gpio17"}) {
        if (mkdir(d.c_str(), 0755) != 0) {
            throw std::system_error(errno, std::generic_category(), d);
        }
    }
    write_file(gpio + "/export", "");
    write_file(gpio + "/unexport", "");
    write_file(gpio + "/gpio17/direction", "in");
    write_file(gpio + "/gpio17/value", "0");
    return gpio;
}

}  // namespace kelvex::sim
